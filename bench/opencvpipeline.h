#ifndef OPENCVPIPELINE_H
#define OPENCVPIPELINE_H

// The same determinant of the Hessian with OpenCV, for comparison only:
// sepFilter2D with the detector's three kernels on floats (no byte
// rounding between the passes), the weighted determinant, and a strict
// 8-neighbour maxima pass, each split into row strips over `threads`
// threads. Its numbers differ from the detector's by design.

#include "localmaxima.h"

#include <memory>
#include <vector>

class OpenCvPipeline
{
public:
    // Kernels and float images are made here, outside the timed part.
    OpenCvPipeline(const unsigned char *grey, int width, int height, float sigma, int threads);
    ~OpenCvPipeline();

    // The timed part: three filters, the determinant, the maxima.
    void run(float threshold, std::vector<Feature> &features);

private:
    struct Data;
    std::unique_ptr<Data> data;
};

#endif // OPENCVPIPELINE_H
