#pragma once

#include <QPixmap>
#include <QPushButton>

// A button drawn the classic way: a flat face in its own colour (the palette's Button role)
// inside a raised bevel that sinks while it is held down. It can carry two pictures behind
// its caption: the first normally, the second while it is held down or disabled.
class GraphicalButton : public QPushButton {
    Q_OBJECT
public:
    explicit GraphicalButton(const QString &caption, QWidget *parent = nullptr);

    void setPictures(const QPixmap &normal, const QPixmap &downOrDisabled);
    const QPixmap &shownPicture() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QPixmap m_normal;
    QPixmap m_downOrDisabled;
};
