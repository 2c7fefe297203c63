#ifndef CANDIDATERESPONSES_H
#define CANDIDATERESPONSES_H

// What a threshold would keep: the responses of every maximum a run's
// response map holds, read after the run, so that a threshold can be
// chosen from them and the features it keeps counted without another run.

#include "detectionpaths.h"
#include "hessiandetector.h"

#include <QVector>

#include <cstdint>

// The responses of the features the maxima search would find on the
// record's response map with threshold `floor` (the same rule: strict
// maxima over eight neighbours, above `floor`), of polarity `polarity`
// (FEATURE_BRIGHT, FEATURE_DARK, or 0 for both), at least `margin` pixels
// from every border of the map (the padding around a picture, see
// borderpadding.h; 0: all of them), in ascending order. The
// features a threshold t >= floor keeps are exactly those whose response is
// above t. The record must hold a computed response map and the row images
// of that computation. Returns 0, HESSIAN_BAD_SIGMA for a record that is
// not set up, or HESSIAN_NO_MEMORY (with `responses` empty).
int findCandidateResponses(const HessianDetector *detector, float floor, int8_t polarity,
                           const HessianRunConfig &config, QVector<float> &responses, uint32_t margin = 0);

#endif // CANDIDATERESPONSES_H
