#pragma once

// The wire the window benchmarks feed: weight lines written into a pseudo-terminal by a
// thread of their own, at 30 a second or at the full speed of a 115200-baud wire.

#include "ptypair.h"

#include <QByteArray>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <time.h>

namespace BenchWire {

using Clock = std::chrono::steady_clock;

constexpr int WireBytesPerSecond = 11520; // 115200 baud, 8N1

inline qint64 monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline double clockSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

inline double msSince(qint64 startNs)
{
    return double(monotonicNs() - startNs) / 1e6;
}

inline double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The output format the wire carries: PELORA_BENCH_FORMAT is 1 (native, the default), 2
// (Merovant) or 3 (ASCII), as the stored setting numbers them.
inline int format()
{
    static const int f = [] {
        const int v = qEnvironmentVariableIntValue("PELORA_BENCH_FORMAT");
        return v == 2 || v == 3 ? v : 1;
    }();
    return f;
}

// Line i carries the weight of i grams, so a shown weight names the line it came from. Every
// 30th line is unstable (where the format can say so), so that a recorder makes a record
// about once every 30 lines. Lines of every format are 16 bytes long (the other two padded
// with spaces, which their parsers skip), so that a full-speed wire carries as many readings
// a second whatever the format.
inline QByteArray line(int i)
{
    char text[32];
    const bool unstable = i % 30 == 0;
    if (format() == 2)
        std::snprintf(text, sizeof text, "%s  %08.3fkg\r\n", unstable ? "wg" : "sg", i / 1000.0);
    else if (format() == 3)
        std::snprintf(text, sizeof text, "      %08.3f\r\n", i / 1000.0);
    else
        std::snprintf(text, sizeof text, "%s%08.3f,%d,0\r\n", unstable ? "US" : "ST", i / 1000.0,
                      unstable ? 0 : 1);
    return QByteArray(text);
}

// The number in a line of any of the formats: after the letters and spaces, up to the first
// character that is not part of it.
inline QByteArray numberIn(const QByteArray &line)
{
    qsizetype from = 0;
    while (from < line.size()
           && (std::isalpha(static_cast<unsigned char>(line.at(from))) || line.at(from) == ' '))
        ++from;
    qsizetype to = from;
    while (to < line.size()
           && (std::isdigit(static_cast<unsigned char>(line.at(to))) || line.at(to) == '.'
               || line.at(to) == '-'))
        ++to;
    return line.mid(from, to - from);
}

// Writes lines 1..count into the pty, paced as the wire would carry them.
class Writer
{
public:
    Writer(PtyPair &pty, int count, bool fullSpeed)
        : m_pty(pty)
        , m_count(count)
        , m_fullSpeed(fullSpeed)
        , m_sentAt(size_t(count) + 1)
        , m_endOffset(size_t(count) + 1)
    { }
    ~Writer()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    void start()
    {
        m_processCpuAtStart = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
        m_started = Clock::now();
        m_thread = std::thread([this] { run(); });
    }
    bool running() const { return m_thread.joinable(); }
    bool finished() const { return m_done.load(); }
    Clock::time_point sentAt(int i) const { return m_sentAt[size_t(i)]; }
    qint64 endOffset(int i) const { return m_endOffset[size_t(i)]; }
    int count() const { return m_count; }
    int written() const { return m_written.load(); }
    // The product's CPU: the whole process less this thread.
    double cpuPerSecond() const
    {
        const double wall = std::chrono::duration<double>(Clock::now() - m_started).count();
        const double process = clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - m_processCpuAtStart;
        return (process - m_ownCpu.load()) / wall;
    }

private:
    void run()
    {
        const double cpuAtStart = clockSeconds(CLOCK_THREAD_CPUTIME_ID);
        qint64 offset = 0;
        auto due = Clock::now();
        for (int i = 1; i <= m_count; ++i) {
            const QByteArray bytes = line(i);
            std::this_thread::sleep_until(due); // pacing the wire, not waiting for anything
            offset += bytes.size();
            m_endOffset[size_t(i)] = offset;
            m_sentAt[size_t(i)] = Clock::now();
            m_written.store(i);
            m_pty.write(bytes);
            due += m_fullSpeed
                    ? std::chrono::nanoseconds(1000000000LL * bytes.size() / WireBytesPerSecond)
                    : std::chrono::nanoseconds(1000000000LL / 30);
            m_ownCpu.store(clockSeconds(CLOCK_THREAD_CPUTIME_ID) - cpuAtStart);
        }
        m_done = true;
    }

    PtyPair &m_pty;
    int m_count;
    bool m_fullSpeed;
    std::vector<Clock::time_point> m_sentAt;
    std::vector<qint64> m_endOffset;
    std::atomic<int> m_written{0};
    std::atomic<double> m_ownCpu{0};
    Clock::time_point m_started;
    double m_processCpuAtStart = 0;
    std::thread m_thread;
    std::atomic<bool> m_done{false};
};

} // namespace BenchWire
