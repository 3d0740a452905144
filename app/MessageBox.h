#pragma once

#include <QString>
#include <functional>

class QWidget;

// The program's one message box (the notice that a copy is already running), behind a
// wrapper that tests can answer.
namespace MessageBox {

// An information box with a single OK button; returns when it is dismissed.
void information(const QString &title, const QString &prompt);

// While set, information() calls the handler instead of showing a box.
using Handler = std::function<void(const QString &title, const QString &prompt)>;
void setHandler(Handler handler);

} // namespace MessageBox
