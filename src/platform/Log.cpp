#include "platform/Log.h"

#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace Log {
namespace {

Writer &processWriter()
{
    // Deliberately never destroyed: threads may still log while static objects go away.
    // Lines queued at exit are written by the atexit hook instead.
    static Writer *writer = [] {
        auto *w = new Writer(Paths::supportDir());
        std::atexit([] { Log::flush(); });
        return w;
    }();
    return *writer;
}

std::string timestamp(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count() % 1000;
    const std::time_t seconds = system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms));
    return text;
}

bool writeAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Creates `file` holding the header and `line`. The content is written aside and linked
// into place, so no other process ever sees the file without its header.
bool createWithHeader(const fs::path &file, const std::string &line)
{
    std::string temp = (file.parent_path() / ".talvane.log.XXXXXX").string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return false;
    const bool written = writeAll(fd, std::string(header) + "\n" + line);
    ::fchmod(fd, 0644);
    ::close(fd);
    const bool linked = written && ::link(temp.c_str(), file.c_str()) == 0;
    ::unlink(temp.c_str());
    return linked;
}

// The first line of `text`, cut at any of the Unicode line breaks.
std::string firstLine(const std::string &text)
{
    static const char *const breaks[] = {"\r\n", "\n", "\r", "\v", "\f", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"};
    size_t end = text.size();
    for (const char *b : breaks)
        end = std::min(end, text.find(b));
    return text.substr(0, end);
}

} // namespace

void write(const std::string &level, const std::string &message)
{
    processWriter().write(level, message);
}

void info(const QString &message)
{
    write("INFO", message.toStdString());
}

void error(const QString &message)
{
    write("ERROR", message.toStdString());
}

QByteArray redacted(QByteArray text, std::initializer_list<QByteArray> secrets)
{
    for (const QByteArray &secret : secrets) {
        if (!secret.isEmpty())
            text.replace(secret, "…");
    }
    return text;
}

QString address(const QUrl &url)
{
    return url.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment);
}

void flush()
{
    processWriter().flush();
}

void dropOldFormat(const fs::path &file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char buffer[256];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n < 0)
        n = 0;
    // Invalid UTF-8 cannot equal the header, so no decoding is needed to compare.
    if (firstLine(std::string(buffer, static_cast<size_t>(n))) != header) {
        std::error_code ignored;
        fs::remove(file, ignored);
    }
}

void rotateIfLarge(const fs::path &log, const fs::path &old)
{
    std::error_code error;
    const auto size = fs::file_size(log, error);
    if (error || size <= rotateAbove)
        return;
    fs::remove(old, error);
    fs::rename(log, old, error);
}

Writer::Writer(fs::path dir)
    : dir(std::move(dir)), thread([this] { run(); })
{
}

Writer::~Writer()
{
    {
        std::lock_guard guard(lock);
        stopping = true;
    }
    wake.notify_one();
    thread.join();
}

void Writer::write(std::string level, std::string message)
{
    const auto now = std::chrono::system_clock::now();
    {
        std::lock_guard guard(lock);
        queue.push_back({now, std::move(level), std::move(message)});
        ++queued;
    }
    wake.notify_one();
}

void Writer::flush()
{
    std::unique_lock guard(lock);
    const auto target = queued;
    drained.wait(guard, [&] { return written >= target; });
}

void Writer::run()
{
    std::unique_lock guard(lock);
    for (;;) {
        wake.wait(guard, [&] { return stopping || !queue.empty(); });
        if (queue.empty())
            return; // stopping, nothing left
        std::deque<Entry> batch;
        batch.swap(queue);
        guard.unlock();
        for (const Entry &entry : batch)
            writeEntry(entry);
        guard.lock();
        written += batch.size();
        drained.notify_all();
    }
}

void Writer::writeEntry(const Entry &entry)
{
    const fs::path current = dir / "talvane.log";
    const fs::path old = dir / "talvane.old.log";
    if (!oldDropped) {
        oldDropped = true;
        dropOldFormat(current);
        dropOldFormat(old);
    }
    if (++sinceCheck >= checkEvery) {
        sinceCheck = 0;
        rotateIfLarge(current, old);
    }
    // One call is one line: a message with line breaks (an error text from a library) is folded.
    std::string message = entry.message;
    std::replace_if(message.begin(), message.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    const std::string line = timestamp(entry.time) + " [" + entry.level + "] " + message + "\n";

    int fd = ::open(current.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && createWithHeader(current, line))
        return;
    if (fd < 0)
        fd = ::open(current.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC); // another process created it
    if (fd < 0)
        return; // the line is lost; the next one tries again
    // One write() with O_APPEND keeps a line whole even when another process appends too.
    writeAll(fd, line);
    ::close(fd);
}

} // namespace Log
