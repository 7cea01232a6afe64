#pragma once

#include <QString>

#include <optional>

// A running application as seen through one of its windows.
struct RunningApp
{
    qint64 pid = 0;     // 0 when the window does not tell
    QString identifier; // the application's class (WM_CLASS, bundle identifier); empty when unknown
    quint64 window = 0; // the platform's handle of the window that was in front
};

// Whether `a` and `b` are the same application: by process when both tell theirs, otherwise by window.
inline bool sameApplication(const RunningApp &a, const RunningApp &b)
{
    if (a.pid != 0 && b.pid != 0)
        return a.pid == b.pid;
    return a.window == b.window;
}

// The desktop's applications as the paster needs them.
class Workspace
{
public:
    virtual ~Workspace() = default;

    // The application whose window has the focus; absent when no window has it.
    virtual std::optional<RunningApp> frontmost() const = 0;
    virtual bool isTerminated(const RunningApp &app) const = 0;
    // Asks the window manager to bring the application's window to the front; the result shows in frontmost().
    virtual void activate(const RunningApp &app) = 0;
    virtual qint64 ownPid() const = 0;
};
