#include "platform/Paths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace Paths {
namespace {

fs::path create(const fs::path &dir)
{
    std::error_code ignored;
    fs::create_directories(dir, ignored);
    return dir;
}

std::string trim(const std::string &s)
{
    const char *space = " \t\n\r\v\f";
    const auto first = s.find_first_not_of(space);
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

std::string expandTilde(const std::string &path)
{
    if (path.empty() || path[0] != '~')
        return path;
    const auto slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    const std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
    if (user.empty())
        return home().string() + rest;
    if (const passwd *pw = getpwnam(user.c_str()); pw && pw->pw_dir)
        return std::string(pw->pw_dir) + rest;
    return path; // an unknown user: keep the name as written
}

} // namespace

fs::path home()
{
    if (const char *h = std::getenv("HOME"); h && *h)
        return h;
    if (const passwd *pw = getpwuid(getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/";
}

const fs::path &supportDir()
{
    static const fs::path dir = [] {
        const char *xdg = std::getenv("XDG_DATA_HOME");
        // The XDG rules ignore a relative XDG_DATA_HOME.
        const fs::path base = (xdg && *xdg == '/') ? fs::path(xdg) : home() / ".local" / "share";
        return create(base / "Talvane");
    }();
    return dir;
}

fs::path modelsFolder(const std::string &setting)
{
    const std::string trimmed = trim(setting);
    if (trimmed.empty())
        return create(supportDir() / "models");
    return create(fs::absolute(expandTilde(trimmed)).lexically_normal());
}

fs::path modelFile(const std::string &name, const std::string &setting)
{
    return modelsFolder(setting) / ("ggml-" + name + ".bin");
}

} // namespace Paths
