// cloud.json as the user edited it: reading never fails, the key comes trimmed and the
// address is always one the recogniser can be reached at.
#include "Fuzz.h"

#include "platform/CloudKeyProvider.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Fuzz::scratch();
    Fuzz::write(CloudKeyFile::path(), data, size);
    const CloudAccess access = CloudKeyFile().current();
    if (access.key != access.key.trimmed())
        Fuzz::fail("the key is not trimmed");
    const QUrl &url = access.serviceUrl;
    if (!url.isValid() || url.host().isEmpty() ||
        (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http")))
        Fuzz::fail("the service address is not an http(s) address");
    return 0;
}
