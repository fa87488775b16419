#include "app/picturewidget.h"

#include <QLayout>
#include <QPainter>

PictureWidget::PictureWidget(const QString &fileName, QLayout *layout, QWidget *parent)
    : QWidget(parent)
{
    // A picture that cannot be read leaves the widget free to size and paints nothing.
    if (pixmap.load(fileName))
        setFixedSize(pixmap.size());
    if (layout)
        setLayout(layout);
}

PictureWidget::~PictureWidget() = default;

void PictureWidget::paintEvent(QPaintEvent *)
{
    if (pixmap.isNull())
        return;
    QPainter painter(this);
    painter.drawPixmap(0, 0, pixmap);
}
