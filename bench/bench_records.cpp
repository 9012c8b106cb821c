// Eight hours of readings at 30 a second, fed as fast as they go into the recorder, its
// database and the chart's points. Prints the time per reading (median, p99, worst, and
// the worst reading that made a record) against the 33 ms between two real readings,
// the chart's cost for its widest window, and the resident memory after each hour.
//
//   build/bench/bench_records [hours]

#include "recordstore.h"
#include "weighrecorder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Resident memory in KiB, as the kernel counts it now (not the peak).
long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Times per reading in 100 ns steps up to 100 ms, allocated and touched before the run so
// that the measurement itself adds nothing to the resident memory while it goes on.
struct Histogram
{
    static constexpr qint64 stepNs = 100;
    std::vector<quint32> counts = std::vector<quint32>(1'000'001, 0);
    qint64 total = 0;
    double worstMs = 0;

    void add(qint64 ns)
    {
        ++counts[size_t(std::min<qint64>(ns / stepNs, qint64(counts.size()) - 1))];
        ++total;
        worstMs = std::max(worstMs, double(ns) / 1e6);
    }
    double percentileMs(double p) const
    {
        const qint64 wanted = qint64(p * double(total));
        qint64 seen = 0;
        for (size_t i = 0; i < counts.size(); ++i) {
            seen += counts[i];
            if (seen > wanted)
                return double((i + 1) * stepNs) / 1e6;
        }
        return worstMs;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const double hours = argc > 1 ? QByteArray(argv[1]).toDouble() : 8.0;
    constexpr int perSecond = 30;
    const qint64 readings = qint64(hours * 3600 * perSecond);

    QTemporaryDir dir;
    RecordStore store(dir.filePath(QStringLiteral("records.sqlite")));
    WeighRecorder recorder(&store);

    // Every 20 s a load goes on (4 s unsettled, then steady with noise below a division)
    // and comes off again after 10 s.
    Histogram costs;
    double worstRecording = 0;
    qint64 records = 0;
    // The readings end now, so that the chart's window holds the last of them.
    const qint64 start = QDateTime::currentMSecsSinceEpoch() - readings * 1000 / perSecond;
    QElapsedTimer total;
    total.start();
    std::printf("hour  resident KiB  trend samples\n");
    std::printf("%4d  %12ld  %13d\n", 0, residentKiB(), recorder.trendSize());
    for (qint64 i = 0; i < readings; ++i) {
        const qint64 t = start + i * 1000 / perSecond;
        const qint64 inCycle = (i / perSecond) % 20;
        const double load = 5.0 + double((i / (20 * perSecond)) % 7);
        const bool on = inCycle < 10;
        const bool settling = on && inCycle < 4;
        const double noise = ((i * 7919) % 5) * 0.001;
        const double kg = on ? (settling ? load * double(inCycle + 1) / 5.0 : load + noise) : noise;
        QElapsedTimer one;
        one.start();
        const qint64 id = recorder.offer(kg, !settling, true, false, QStringLiteral("kg"),
                                         QString(), QStringLiteral("/dev/ttyUSB0"), t);
        const qint64 ns = one.nsecsElapsed();
        const double ms = double(ns) / 1e6;
        costs.add(ns);
        if (id >= 0) {
            ++records;
            worstRecording = std::max(worstRecording, ms);
        }
        if ((i + 1) % (3600 * perSecond) == 0)
            std::printf("%4lld  %12ld  %13d\n", (i + 1) / (3600 * perSecond), residentKiB(),
                        recorder.trendSize());
    }
    const double seconds = double(total.elapsed()) / 1000.0;

    QElapsedTimer chart;
    chart.start();
    constexpr int draws = 100;
    qsizetype points = 0;
    for (int i = 0; i < draws; ++i)
        points += recorder.trendPoints(WeighRecorder::trendSpanMs, 1000, 400).size();
    const double chartMs = double(chart.nsecsElapsed()) / 1e6 / draws;

    const double budget = 1000.0 / perSecond;
    std::printf("\n%lld readings, %lld records in %.1f s\n", readings, records, seconds);
    std::printf("per reading: median < %.4f ms, p99 < %.4f ms, worst %.2f ms, worst with a record "
                "%.2f ms\n",
                costs.percentileMs(0.5), costs.percentileMs(0.99), costs.worstMs, worstRecording);
    std::printf("against the %.1f ms between readings: p99 %.4f, worst %.3f\n", budget,
                costs.percentileMs(0.99) / budget, costs.worstMs / budget);
    std::printf("chart, 15 minutes into 1000 px: %.3f ms, %lld points\n", chartMs,
                (long long)(points / draws));
    std::printf("records in the store: %d\n", store.count());
    return 0;
}
