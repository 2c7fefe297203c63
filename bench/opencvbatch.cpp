// hessian-maxima-opencv-batch: the batch benchmark's OpenCV peer. Reads each
// picture with cv::imread, converts it to grey with cv::cvtColor and runs the
// OpenCV pipeline of this folder (sepFilter2D with the detector's kernels,
// the determinant, a strict 8-neighbour maxima pass) on one thread, one
// picture per core, and prints the pictures per second.
//
//   hessian-maxima-opencv-batch [--sigma S] [--threshold T] [--jobs N] FILE...

#include "opencvpipeline.h"
#include "parallelbands.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char **argv)
{
    float sigma = 5.0f, threshold = 100.0f;
    unsigned jobs = machineThreads();
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const bool valued = i + 1 < argc;
        if (valued && std::strcmp(argv[i], "--sigma") == 0)
            sigma = std::strtof(argv[++i], nullptr);
        else if (valued && std::strcmp(argv[i], "--threshold") == 0)
            threshold = std::strtof(argv[++i], nullptr);
        else if (valued && std::strcmp(argv[i], "--jobs") == 0)
            jobs = (unsigned)std::atoi(argv[++i]);
        else
            files.push_back(argv[i]);
    }
    if (files.empty() || jobs < 1 || !(sigma > 0.0f)) {
        std::fprintf(stderr, "usage: hessian-maxima-opencv-batch [--sigma S] [--threshold T] [--jobs N] FILE...\n");
        return 2;
    }
    // Each picture on one thread; the pictures spread over the cores.
    cv::setNumThreads(1);

    std::atomic<size_t> next{0}, features{0}, failed{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (unsigned j = 0; j < jobs; ++j)
        workers.emplace_back([&] {
            for (size_t i = next++; i < files.size(); i = next++) {
                const cv::Mat colour = cv::imread(files[i], cv::IMREAD_COLOR);
                if (colour.empty()) {
                    ++failed;
                    continue;
                }
                cv::Mat grey;
                cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
                OpenCvPipeline pipeline(grey.data, grey.cols, grey.rows, sigma, 1);
                std::vector<Feature> found;
                pipeline.run(threshold, found);
                features += found.size();
            }
        });
    for (std::thread &worker : workers)
        worker.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%zu pictures, %zu failed, %zu features, %.3f s, %.1f pictures/s\n", files.size(),
                failed.load(), features.load(), seconds, files.size() / seconds);
    return failed ? 1 : 0;
}
