// settings.json as the user may have left it: loading never fails, and what was loaded
// survives a save and a second load unchanged (compared as written: a lone surrogate in
// a JSON escape cannot be written as UTF-8 and is saved as U+FFFD).
#include "Fuzz.h"

#include "platform/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Fuzz::scratch();
    Fuzz::write(Settings::path(), data, size);
    const Settings loaded = Settings::load();
    loaded.save();
    if (Settings::load().encoded() != loaded.encoded())
        Fuzz::fail("the settings changed on a save and a second load");
    return 0;
}
