// libFuzzer entry point for the parsers of server replies and of the server text. Build
// with clang and -DMORVEX_FUZZ=ON; run e.g. `fuzz_pop3 -max_total_time=60`.
#include "mail/Pop3Capa.h"
#include "mail/Pop3Reply.h"
#include "mail/ServerAddress.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const Pop3Reply reply = Pop3Reply::parse(input);
    qint64 count = 0;
    Pop3Reply::parseStatCount(reply.text, &count);
    if (count < 0 || count > 2147483647)
        abort();
    const int cap = size > 0 ? data[0] % 64 : 45;
    const QString shown = Pop3Reply::displayText(input, cap);
    if (shown.size() > cap)
        abort();
    for (const QChar c : shown) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            abort();
    }

    Pop3Capa capa;
    for (const QByteArray &line : input.split('\n'))
        capa.feed(line);
    if (capa.lines().size() > Pop3Capa::MaxLines)
        abort();

    const ServerAddress address = ServerAddress::parse(QString::fromUtf8(input), 110);
    if (address.isValid() && !ServerAddress::parse(address.toString(), 1).isValid())
        abort();
    return 0;
}
