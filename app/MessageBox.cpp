#include "MessageBox.h"

#include <QMessageBox>

namespace {
MessageBox::Handler &handler()
{
    static MessageBox::Handler h;
    return h;
}
} // namespace

void MessageBox::information(const QString &title, const QString &prompt)
{
    if (handler()) {
        handler()(title, prompt);
        return;
    }
    QMessageBox box(QMessageBox::Information, title, prompt, QMessageBox::Ok);
    box.exec();
}

void MessageBox::setHandler(Handler h)
{
    handler() = std::move(h);
}
