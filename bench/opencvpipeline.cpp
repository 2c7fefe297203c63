#include "opencvpipeline.h"

#include "hessiandetector.h"
#include "pixelarithmetic.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdlib>

struct OpenCvPipeline::Data {
    cv::Mat grey;
    cv::Mat gauss, d1, d2;  // 1 x (2r+1) kernels
    cv::Mat dxx, dyy, dxy, response;
    int radius = 0;
    int threads = 1;
};

namespace {

cv::Mat kernelMat(float *taps, int radius)
{
    cv::Mat kernel(1, 2 * radius + 1, CV_32F);
    for (int k = 0; k <= 2 * radius; ++k)
        kernel.at<float>(0, k) = taps[k];
    std::free(taps);
    return kernel;
}

} // namespace

OpenCvPipeline::OpenCvPipeline(const unsigned char *grey, int width, int height, float sigma,
                               int threads)
    : data(new Data)
{
    HessianDetector probe = {};
    initHessianDetector(&probe, sigma, 1, 1);
    data->radius = (int)probe.radius;
    releaseHessianDetector(&probe);

    data->grey = cv::Mat(height, width, CV_8U, const_cast<unsigned char *>(grey)).clone();
    data->gauss = kernelMat(makeGaussianKernel(sigma, data->radius), data->radius);
    data->d1 = kernelMat(makeGaussianD1Kernel(sigma, data->radius), data->radius);
    data->d2 = kernelMat(makeGaussianD2Kernel(sigma, data->radius), data->radius);
    data->dxx.create(height, width, CV_32F);
    data->dyy.create(height, width, CV_32F);
    data->dxy.create(height, width, CV_32F);
    data->response.create(height, width, CV_32F);
    data->threads = threads;
}

OpenCvPipeline::~OpenCvPipeline() = default;

void OpenCvPipeline::run(float threshold, std::vector<Feature> &features)
{
    Data &d = *data;
    const int height = d.grey.rows;
    const int width = d.grey.cols;
    const int strips = d.threads;
    cv::setNumThreads(d.threads);

    // Filters and determinant, strip by strip. A strip's source is a view
    // into the whole image, so the filters read the real rows around it.
    cv::parallel_for_(cv::Range(0, strips), [&](const cv::Range &range) {
        for (int strip = range.start; strip < range.end; ++strip) {
            const int first = height * strip / strips;
            const int last = height * (strip + 1) / strips;
            const cv::Mat source = d.grey.rowRange(first, last);
            cv::Mat dxx = d.dxx.rowRange(first, last);
            cv::Mat dyy = d.dyy.rowRange(first, last);
            cv::Mat dxy = d.dxy.rowRange(first, last);
            cv::sepFilter2D(source, dxx, CV_32F, d.d2, d.gauss);
            cv::sepFilter2D(source, dyy, CV_32F, d.gauss, d.d2);
            cv::sepFilter2D(source, dxy, CV_32F, d.d1, d.d1);
            for (int y = first; y < last; ++y) {
                const float *xx = d.dxx.ptr<float>(y);
                const float *yy = d.dyy.ptr<float>(y);
                const float *xy = d.dxy.ptr<float>(y);
                float *out = d.response.ptr<float>(y);
                for (int x = 0; x < width; ++x)
                    out[x] = weightedDeterminant(xx[x], yy[x], xy[x]);
            }
        }
    }, strips);

    // Maxima on the same interior as the detector's, strip by strip.
    const int margin = d.radius + 1;
    std::vector<std::vector<Feature>> found(strips);
    if (width > 2 * margin && height > 2 * margin) {
        cv::parallel_for_(cv::Range(0, strips), [&](const cv::Range &range) {
            for (int strip = range.start; strip < range.end; ++strip) {
                const int rows = height - 2 * margin;
                const int first = margin + rows * strip / strips;
                const int last = margin + rows * (strip + 1) / strips;
                for (int y = first; y < last; ++y) {
                    const float *centre = d.response.ptr<float>(y);
                    for (int x = margin; x < width - margin; ++x)
                        if (isLocalMaximum(centre - width + x - 1, centre + x - 1,
                                           centre + width + x - 1, threshold))
                            found[strip].push_back(Feature{(float)x, (float)y});
                }
            }
        }, strips);
    }
    features.clear();
    for (const std::vector<Feature> &part : found)
        features.insert(features.end(), part.begin(), part.end());
}
