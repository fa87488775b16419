#pragma once

#include <QPixmap>
#include <QWidget>

class QLayout;
class QPaintEvent;

// Shows one picture at its natural size; a layout handed in lays its widgets over it.
class PictureWidget : public QWidget
{
    Q_OBJECT

public:
    PictureWidget(const QString &fileName, QLayout *layout = nullptr, QWidget *parent = nullptr);
    ~PictureWidget() override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QPixmap pixmap;
};
