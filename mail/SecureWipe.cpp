#include "SecureWipe.h"

namespace {

// Through a volatile pointer, so the stores are not dropped as dead.
void overwrite(void *data, size_t size)
{
    volatile unsigned char *p = static_cast<volatile unsigned char *>(data);
    for (size_t i = 0; i < size; ++i)
        p[i] = 0;
}

} // namespace

void secureWipe(QByteArray &bytes)
{
    // data() on a shared buffer would copy it first: only an unshared one is written.
    if (bytes.isDetached() && bytes.capacity() > 0)
        overwrite(bytes.data(), size_t(bytes.capacity()));
    bytes.clear();
}

void secureWipe(QString &text)
{
    if (text.isDetached() && text.capacity() > 0)
        overwrite(text.data(), size_t(text.capacity()) * sizeof(QChar));
    text.clear();
}

QByteArray joined(std::initializer_list<QByteArrayView> parts)
{
    qsizetype size = 0;
    for (const QByteArrayView part : parts)
        size += part.size();
    QByteArray result;
    result.reserve(size);
    for (const QByteArrayView part : parts)
        result.append(part);
    return result;
}
