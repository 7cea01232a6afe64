#pragma once

#include <filesystem>
#include <string>

// The program's folders: the support folder (settings and log), the models folder and
// the path of a model file. Nothing here reports a failure: a folder that cannot be
// created shows up later as a failed file operation of whoever uses it.
namespace Paths {

// $XDG_DATA_HOME/Talvane (by default ~/.local/share/Talvane); computed and created once.
const std::filesystem::path &supportDir();

// The models folder the ModelsDir setting names (trimmed; a leading ~ is the home folder;
// relative to the current folder otherwise), or <support>/models when it is blank. Created
// on each use.
std::filesystem::path modelsFolder(const std::string &setting = {});

// <models folder of `setting`>/ggml-<name>.bin
std::filesystem::path modelFile(const std::string &name, const std::string &setting = {});

// The user's home folder ($HOME, or the password database when it is unset).
std::filesystem::path home();

} // namespace Paths
