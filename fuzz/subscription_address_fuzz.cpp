// A subscription's address as typed, and a calendar host's ETag, Last-Modified and Content-Type
// values: any text gets an answer without crashing. An accepted address is always https or http
// with a host and no user name or fragment, and what is shown of it is the host alone; a
// validator sent back never holds a line break or a control character.
#include "Brivane/subscriptions/SubscriptionAddress.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace brivane::subscription;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const QByteArray rest(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    switch (data[0] % 3) {
    case 0: {
        std::string why;
        const auto address = fetchableAddress(QString::fromUtf8(rest), &why);
        if (!address) {
            if (why.empty())
                std::abort();
            break;
        }
        const QString scheme = address->scheme();
        if ((scheme != QLatin1String("https") && scheme != QLatin1String("http")) ||
            address->host().isEmpty() || address->hasFragment() || !address->userInfo().isEmpty())
            std::abort();
        const std::string host = shownHost(*address);
        if (host.empty() || host.find_first_of("/?#@") != std::string::npos)
            std::abort();
        break;
    }
    case 1:
        if (const auto value = validator(rest)) {
            if (value->isEmpty() || value->size() > 512)
                std::abort();
            for (const char c : *value)
                if (c < 0x20 || c > 0x7e)
                    std::abort();
        }
        break;
    default: {
        const qsizetype cut = rest.indexOf('\n');
        isWebPage(cut < 0 ? rest : rest.left(cut), cut < 0 ? QByteArray() : rest.mid(cut + 1));
        break;
    }
    }
    return 0;
}
