// The split of a run into bands of rows: every row once, phases strictly in
// order across threads, failures reported and stopping the run.

#include "parallelbands.h"

#include <QtTest>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

class TestParallelBands : public QObject
{
    Q_OBJECT

private slots:
    void everyRowOnceInEvenBands();
    void noPhaseStartsBeforeThePreviousEnds();
    void failureStopsTheRunAndIsReported();
    void aHeldBandHoldsUpNobody();
    void aRaisedStopSkipsTheBandsNotBegun();
};

// Rows counted per visit; bands contiguous, in band order, sizes within one
// granule, every start but the last band's a whole number of granules in.
void TestParallelBands::everyRowOnceInEvenBands()
{
    const struct {
        unsigned bands;
        uint32_t begin, end, granule;
    } cases[] = {{1, 0, 10, 1}, {2, 3, 720, 1}, {3, 0, 7, 1},  {4, 5, 7, 1},
                 {8, 0, 3, 1},  {3, 4, 4, 1},   {8, 15, 705, 5}, {8, 6, 40, 3},
                 {4, 0, 3, 5},  {3, 2, 23, 4}};
    for (const auto &c : cases) {
        std::vector<std::atomic<int>> visits(c.end + 1);
        std::vector<std::pair<uint32_t, uint32_t>> ranges(c.bands, {0, 0});
        const BandWork work = [&](unsigned, unsigned band, uint32_t first, uint32_t last) {
            ranges[band] = {first, last};
            for (uint32_t y = first; y < last; ++y)
                ++visits[y];
            return 0;
        };
        const int status = runPhasesInBands(2, c.bands, {BandPhase{c.begin, c.end, work, c.granule}});
        QCOMPARE(status, 0);
        for (uint32_t y = 0; y <= c.end; ++y)
            QCOMPARE(visits[y].load(), (y >= c.begin && y < c.end) ? 1 : 0);
        uint32_t next = c.begin;
        uint32_t smallest = UINT32_MAX, largest = 0;
        for (const auto &range : ranges) {
            if (range.first == range.second)
                continue;  // an empty band is never called
            QCOMPARE(range.first, next);
            QCOMPARE((range.first - c.begin) % c.granule, 0u);
            next = range.second;
            smallest = std::min(smallest, range.second - range.first);
            largest = std::max(largest, range.second - range.first);
        }
        QCOMPARE(next, c.end);
        if (c.end - c.begin >= c.bands * c.granule)
            QVERIFY(largest - smallest <= c.granule);
    }
}

// The second phase reads what other bands wrote in the first; the first
// band is slow, so a missing wait would show.
void TestParallelBands::noPhaseStartsBeforeThePreviousEnds()
{
    const uint32_t rows = 64;
    std::vector<std::atomic<int>> written(rows);
    std::atomic<int> early{0};
    const BandWork write = [&](unsigned, unsigned band, uint32_t first, uint32_t last) {
        if (band == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        for (uint32_t y = first; y < last; ++y)
            written[y] = 1;
        return 0;
    };
    const BandWork check = [&](unsigned, unsigned, uint32_t, uint32_t) {
        for (uint32_t y = 0; y < rows; ++y)
            if (!written[y])
                ++early;
        return 0;
    };
    QCOMPARE(runPhasesInBands(4, 4, {BandPhase{0, rows, write}, BandPhase{0, rows, check}}), 0);
    QCOMPARE(early.load(), 0);
}

// The first failing band in band order gives the status; later phases do
// not run at all, in any band.
void TestParallelBands::failureStopsTheRunAndIsReported()
{
    std::atomic<int> secondPhaseCalls{0};
    const BandWork fail = [](unsigned, unsigned band, uint32_t, uint32_t) {
        return band == 1 ? -7 : band == 2 ? -5 : 0;
    };
    const BandWork count = [&](unsigned, unsigned, uint32_t, uint32_t) {
        ++secondPhaseCalls;
        return 0;
    };
    QCOMPARE(runPhasesInBands(3, 3, {BandPhase{0, 30, fail}, BandPhase{0, 30, count}}), -7);
    QCOMPARE(secondPhaseCalls.load(), 0);
    QCOMPARE(runPhasesInBands(3, 3, {BandPhase{0, 30, count}, BandPhase{0, 30, fail}}), -7);
    QCOMPARE(secondPhaseCalls.load(), 3);
}

// Bands are taken one at a time: while one band is held, the other thread
// does all the rest, whichever of the two holds it. Every band runs once.
// A worker number is one thread's own (the caller's is 0), so per-worker
// scratch is never shared.
void TestParallelBands::aHeldBandHoldsUpNobody()
{
    const unsigned bands = 8;
    for (unsigned held : {0u, bands - 1}) {
        std::vector<std::atomic<int>> calls(bands);
        std::atomic<unsigned> finished{0};
        std::atomic<bool> heldUp{false};
        std::mutex lock;
        std::thread::id threadOf[2];
        int misnumbered = 0;
        const int status = runInBands(2, bands, 0, 800, [&](unsigned worker, unsigned band, uint32_t, uint32_t) {
            {
                std::lock_guard<std::mutex> guard(lock);
                const std::thread::id self = std::this_thread::get_id();
                if (worker >= 2 || (threadOf[worker] != std::thread::id() && threadOf[worker] != self))
                    ++misnumbered;
                else
                    threadOf[worker] = self;
            }
            ++calls[band];
            if (band == held) {
                // Held until every other band is done, which the other
                // thread has to do alone; the deadline ends the wait when a
                // splitter leaves some of them to this band's thread.
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                while (finished < bands - 1 && !(heldUp = std::chrono::steady_clock::now() > deadline))
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            ++finished;
            return 0;
        });
        QCOMPARE(status, 0);
        QVERIFY2(!heldUp, qPrintable(QString("band %1 held up the others").arg(held)));
        for (unsigned band = 0; band < bands; ++band)
            QCOMPARE(calls[band].load(), 1);
        QCOMPARE(misnumbered, 0);
        QVERIFY(threadOf[0] == std::thread::id() || threadOf[0] == std::this_thread::get_id());
        QVERIFY(threadOf[0] != threadOf[1]);
    }
}

// On one thread the bands run top to bottom: a stop raised in band 1 lets
// band 1 finish, skips the rest and every later phase, and gives the stop's
// status; a stop that stays down changes nothing.
void TestParallelBands::aRaisedStopSkipsTheBandsNotBegun()
{
    std::atomic<bool> flag{false};
    std::vector<std::atomic<int>> calls(4);
    std::atomic<int> laterCalls{0};
    const BandWork raise = [&](unsigned, unsigned band, uint32_t, uint32_t) {
        ++calls[band];
        if (band == 1)
            flag = true;
        return 0;
    };
    const BandWork count = [&](unsigned, unsigned, uint32_t, uint32_t) {
        ++laterCalls;
        return 0;
    };
    QCOMPARE(runPhasesInBands(1, 4, {BandPhase{0, 40, raise}, BandPhase{0, 40, count}}, BandStop{&flag, -7}), -7);
    QCOMPARE(calls[0].load() + calls[1].load(), 2);
    QCOMPARE(calls[2].load() + calls[3].load(), 0);
    QCOMPARE(laterCalls.load(), 0);

    std::atomic<bool> down{false};
    QCOMPARE(runPhasesInBands(2, 4, {BandPhase{0, 40, count}, BandPhase{0, 40, count}}, BandStop{&down, -7}), 0);
    QCOMPARE(laterCalls.load(), 8);
}

QTEST_APPLESS_MAIN(TestParallelBands)
#include "tst_parallelbands.moc"
