#include "app/aboutdialog.h"

#include "app/picturewidget.h"
#include "app/productstrings.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// The picture's left part carries its art; the text column starts to the right of it.
constexpr int textColumnOffset = 170;

} // namespace

AboutDialog::AboutDialog(QWidget *parent)
    // The close button is named explicitly: X11 window managers drop it otherwise.
    : QDialog(parent, Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(QLatin1String("About ") + QLatin1String("Vela Hearth"));

    auto *label = new QLabel(QLatin1String("<font color=\"#FFFFFF\"><h3>") + applicationTitle()
        + QLatin1String("</h3><h3>Made by the Vela Hearth developers</h3></font>"));
    label->setObjectName(QStringLiteral("titleLabel"));
    label->setTextFormat(Qt::RichText);
    label->setAlignment(Qt::AlignHCenter);

    auto *closeButton = new QPushButton(QStringLiteral("&Close"));
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);

    auto *buttonRow = new QHBoxLayout;
    buttonRow->addStretch();
    buttonRow->addWidget(closeButton);

    auto *column = new QVBoxLayout;
    column->addStretch();
    column->addWidget(label);
    column->addStretch();
    column->addLayout(buttonRow);

    auto *overlay = new QHBoxLayout;
    overlay->addSpacing(textColumnOffset);
    overlay->addLayout(column);

    auto *layout = new QHBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);
    // The dialog takes exactly the picture's size.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(new PictureWidget(QStringLiteral(":/images/about_logo.png"), overlay));
}

AboutDialog::~AboutDialog() = default;
