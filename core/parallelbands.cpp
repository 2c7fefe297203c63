#include "parallelbands.h"

#include <system_error>
#include <thread>
#include <vector>

unsigned machineThreads()
{
    const unsigned threads = std::thread::hardware_concurrency();
    return threads ? threads : 1;
}

int runInBands(unsigned bands, uint32_t begin, uint32_t end,
               const std::function<int(unsigned band, uint32_t first, uint32_t last)> &work)
{
    const uint32_t rows = end > begin ? end - begin : 0;
    if (bands > rows)
        bands = rows;
    if (bands <= 1)
        return rows ? work(0, begin, end) : 0;

    auto bandStart = [&](unsigned band) {
        return begin + (uint32_t)((uint64_t)rows * band / bands);
    };
    std::vector<int> results(bands, 0);
    std::vector<std::thread> threads;
    threads.reserve(bands - 1);
    for (unsigned band = 1; band < bands; ++band) {
        const uint32_t first = bandStart(band);
        const uint32_t last = bandStart(band + 1);
        int *result = &results[band];
        try {
            threads.emplace_back([&work, band, first, last, result] { *result = work(band, first, last); });
        } catch (const std::system_error &) {
            // No thread to be had: this band runs here and now instead.
            *result = work(band, first, last);
        }
    }
    results[0] = work(0, bandStart(0), bandStart(1));
    for (std::thread &thread : threads)
        thread.join();

    for (int result : results)
        if (result != 0)
            return result;
    return 0;
}
