#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>

// The program's diagnostic log: talvane.log in the support folder, rotated to
// talvane.old.log above 1 MiB. It never holds dictated text, keys or tokens: callers log
// lengths, counts, durations, paths and error descriptions.
namespace Log {

inline constexpr const char *header = "# Talvane log v2: no dictation text, no keys or tokens";
inline constexpr std::uintmax_t rotateAbove = 1'048'576;
inline constexpr int checkEvery = 200;

// Queues one line; returns at once and never fails. Callable from any thread. Line breaks
// in the message are folded into spaces.
void write(const std::string &level, const std::string &message);
void info(const QString &message);
void error(const QString &message);

// `text` with every non-empty secret in it (a key, a prompt) replaced by "…".
QByteArray redacted(QByteArray text, std::initializer_list<QByteArray> secrets);
// An address as the log may hold it: without user name, password, query or fragment.
QString address(const QUrl &url);

// Waits until every line queued so far is in the file.
void flush();

// One log file with its own serial writer thread. The program has exactly one (behind
// write/flush); each instance behaves like a new run of the program.
class Writer
{
public:
    explicit Writer(std::filesystem::path dir);
    ~Writer(); // writes what is queued, then stops the thread
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    void write(std::string level, std::string message);
    void flush();

private:
    struct Entry
    {
        std::chrono::system_clock::time_point time;
        std::string level;
        std::string message;
    };

    void run();
    void writeEntry(const Entry &entry);

    const std::filesystem::path dir;
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable drained;
    std::deque<Entry> queue;
    std::uint64_t queued = 0;
    std::uint64_t written = 0;
    bool stopping = false;

    // Used only on the writer thread.
    bool oldDropped = false;
    int sinceCheck = checkEvery;

    std::thread thread; // last: starts after everything above exists
};

// Deletes `file` when it exists and does not begin with the header line.
void dropOldFormat(const std::filesystem::path &file);

// Moves `log` to `old` (replacing it) when `log` is larger than rotateAbove bytes.
void rotateIfLarge(const std::filesystem::path &log, const std::filesystem::path &old);

} // namespace Log
