#pragma once

#include "platform/Errors.h"

// What kind of refusal a payment refusal (HTTP 402) was; every other refusal is `other`.
enum class CloudRefusal { other, balance, deviceLimit };

// The cloud recogniser refused a recognition: its HTTP status (0 when the answer was not
// HTTP) and the Russian message, which is also the description.
class CloudError : public DescribedError
{
public:
    CloudError(int status, const QString &message) : DescribedError(message), code(status) {}
    int status() const { return code; }
    QString message() const { return description(); }

private:
    int code;
};
