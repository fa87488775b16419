#include "settings/settingsdialog.h"

#include "net/servername.h"
#include "settings/settings.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>

#include <iterator>

namespace {

constexpr int extensionsColumnWidth = 80;

// One pattern per line in the boxes; the model turns line breaks back into blanks.
QString patternsPerLine(QString filter)
{
    return filter.replace(QLatin1Char(' '), QLatin1Char('\n'));
}

// The defaults live in the model alone; a fresh model holds them.
QString defaultFilter(int index)
{
    return patternsPerLine(Settings::defaultExtensions().value(index));
}

// A labelled control with its help text; the object name lets tests find it.
template<typename Button>
Button *button(const QString &text, const char *objectName, const QString &help)
{
    auto *control = new Button(text);
    control->setObjectName(QLatin1String(objectName));
    control->setWhatsThis(help);
    return control;
}

QRadioButton *radioButton(const QString &text, const char *objectName, const QString &help)
{
    return button<QRadioButton>(text, objectName, help);
}

QCheckBox *checkBox(const QString &text, const char *objectName, const QString &help)
{
    return button<QCheckBox>(text, objectName, help);
}

const char systemHelp[] = "In order to compensate and pre-scale correctly, you will need to set "
                          "which TV system you have. NTSC is mainly used in the US and Japan, "
                          "while PAL is the system used in Europe. If you are uncertain which "
                          "one you have, in general this option should just be set to the same "
                          "as your player.";
const char upnpHelp[] = "Besides Hearth's own players, smart TVs, game consoles, phones and "
                        "media programs that browse UPnP/DLNA media servers find this server "
                        "under the same name and play from the same three libraries. They "
                        "need UDP port 1900 and the HTTP port shown in the status bar open in "
                        "the firewall.";
const char extensionsHelp[] = "Hearth is currently set up to accept the following file "
                              "extensions. Feel free to add your own in the same fashion. "
                              "Please note that your player has to support them to play them.";
const char serverHelp[]
    = "Enter the name of your Hearth server here to be able to identify it on your player.";

} // namespace

SettingsDialog::SettingsDialog(Settings *settings, QWidget *parent)
    // The close button is named explicitly: X11 window managers drop it otherwise.
    : QDialog(parent,
        Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowContextHelpButtonHint
            | Qt::WindowCloseButtonHint)
    , settings(settings)
{
    setWindowTitle(QLatin1String("Vela Hearth") + QLatin1String(" Settings"));

    auto *tabs = new QTabWidget;
    tabs->addTab(buildPicturesPage(), QStringLiteral("Pictures"));
    tabs->addTab(buildServerPage(), QStringLiteral("Server"));
    tabs->addTab(buildExtensionsPage(), QStringLiteral("Extensions"));

    auto *okButton = new QPushButton(QStringLiteral("&Ok"));
    okButton->setObjectName(QStringLiteral("okButton"));
    okButton->setDefault(true);
    connect(okButton, &QPushButton::clicked, this, &SettingsDialog::ok);
    auto *cancelButton = new QPushButton(QStringLiteral("&Cancel"));
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(okButton);
    buttons->addWidget(cancelButton);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(tabs);
    layout->addLayout(buttons);

    loadValues();
}

SettingsDialog::~SettingsDialog() = default;

QWidget *SettingsDialog::buildPicturesPage()
{
    colorCorrectionCheck = checkBox(QStringLiteral("Color Correction"), "colorCorrectionCheck",
        QStringLiteral(
            "A TV screen is usually configured with a slightly more compressed color range "
            "(sometimes  referred to as 'gamut') than a computer monitor. This has an effect on "
            "the brightest and darkest parts of a picture. Activating 'Color Correction' will "
            "compensate for this and make your pictures look their best on the TV screen."));

    normalTvButton = radioButton(QStringLiteral("4:3 TV"), "normalTvButton",
        QStringLiteral("If you will be viewing your pictures on a conventional 4:3 format TV, "
                       "you will need to select this option. If you have a widescreen (16:9) "
                       "TV, you will need to select the 16:9 option."));
    widescreenTvButton = radioButton(QStringLiteral("16:9 TV"), "widescreenTvButton",
        QStringLiteral("If you will be viewing your pictures on a widescreen (16:9) format TV, "
                       "you will need to select this option. If you have a conventional 4:3 "
                       "TV, you will need to select the 4:3 option."));
    connect(normalTvButton, &QRadioButton::clicked, this, &SettingsDialog::normalTvSelected);
    connect(
        widescreenTvButton, &QRadioButton::clicked, this, &SettingsDialog::widescreenTvSelected);

    auto *formatGroup = new QGroupBox(QStringLiteral("TV Format"));
    auto *formatLayout = new QVBoxLayout(formatGroup);
    formatLayout->addWidget(normalTvButton);
    formatLayout->addWidget(widescreenTvButton);

    palButton
        = radioButton(QStringLiteral("PAL (720x576)"), "palButton", QLatin1String(systemHelp));
    ntscButton
        = radioButton(QStringLiteral("NTSC (720x480)"), "ntscButton", QLatin1String(systemHelp));
    hdtv720Button = radioButton(QStringLiteral("HDTV (1280x720)"), "hdtv720Button",
        QStringLiteral("If you are viewing pictures on an HDTV in 720p mode, you should select "
                       "this option in order to gain full advantage of the resolution."));
    hdtv1080Button = radioButton(QStringLiteral("HDTV (1920x1080)"), "hdtv1080Button",
        QStringLiteral("If you are viewing pictures on an HDTV in 1080i or 1080p mode, you "
                       "should select this option in order to gain full advantage of the "
                       "resolution."));

    auto *systemGroup = new QGroupBox(QStringLiteral("TV System"));
    auto *systemLayout = new QVBoxLayout(systemGroup);
    systemLayout->addWidget(palButton);
    systemLayout->addWidget(ntscButton);
    systemLayout->addWidget(hdtv720Button);
    systemLayout->addWidget(hdtv1080Button);

    auto *tvRow = new QWidget;
    auto *tvRowLayout = new QHBoxLayout(tvRow);
    tvRowLayout->addWidget(formatGroup);
    tvRowLayout->addWidget(systemGroup);

    compensateCheck = checkBox(QStringLiteral("Compensate for Non-Square Pixels"),
        "compensateCheck",
        QStringLiteral(
            "In most resolutions, conventional TVs do not have square pixels, making your "
            "pictures appear slightly squished when you view them. If you are experiencing this, "
            "enabling this option will compensate for it, making your pictures appear as they "
            "should."));

    scalingGroup = new QGroupBox(QStringLiteral("Scaling"));
    scalingGroup->setObjectName(QStringLiteral("scalingGroup"));
    scalingGroup->setCheckable(true);
    scalingGroup->setWhatsThis(QStringLiteral(
        "Modern digital cameras are able to shoot pictures in very high resolution - much "
        "higher than a TV screen is able to display. As a result of their size they also take "
        "a long time to load. Enabling this option will pre-scale your pictures on your PC as "
        "they are sent to your player, speeding up the time it takes to view them. This "
        "process will not overwrite or in any other way alter your existing pictures."));
    auto *scalingLayout = new QVBoxLayout(scalingGroup);
    scalingLayout->addWidget(compensateCheck);
    scalingLayout->addWidget(tvRow);

    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    layout->addStretch();
    layout->addWidget(colorCorrectionCheck);
    layout->addSpacing(20);
    layout->addStretch();
    layout->addWidget(scalingGroup);
    layout->addStretch();
    return page;
}

QWidget *SettingsDialog::buildServerPage()
{
    auto *label = new QLabel(QStringLiteral("Server Name:"));
    label->setWhatsThis(QLatin1String(serverHelp));
    serverNameEdit = new QLineEdit;
    serverNameEdit->setObjectName(QStringLiteral("serverNameEdit"));
    serverNameEdit->setWhatsThis(QLatin1String(serverHelp));
    label->setBuddy(serverNameEdit);

    serveUpnpCheck = checkBox(QStringLiteral("Serve UPnP/DLNA players (smart TVs, consoles, phones)"),
        "serveUpnpCheck", QLatin1String(upnpHelp));

    auto *box = new QWidget;
    auto *boxLayout = new QVBoxLayout(box);
    boxLayout->addWidget(label);
    boxLayout->addWidget(serverNameEdit);
    boxLayout->addSpacing(12);
    boxLayout->addWidget(serveUpnpCheck);

    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(box);
    layout->addStretch();
    return page;
}

QWidget *SettingsDialog::buildExtensionsColumn(
    const QString &label, QTextEdit *edit, void (SettingsDialog::*defaultSlot)())
{
    edit->setMaximumWidth(extensionsColumnWidth);
    edit->setLineWrapMode(QTextEdit::NoWrap);
    edit->setAcceptRichText(false);
    edit->setWhatsThis(QLatin1String(extensionsHelp));

    auto *defaultButton = new QPushButton(QStringLiteral("Default"));
    defaultButton->setMaximumWidth(extensionsColumnWidth);
    defaultButton->setWhatsThis(
        QStringLiteral("Pressing this will reset this list of extensions."));
    connect(defaultButton, &QPushButton::clicked, this, defaultSlot);

    auto *column = new QWidget;
    auto *layout = new QVBoxLayout(column);
    layout->addWidget(new QLabel(label));
    layout->addWidget(edit);
    layout->addWidget(defaultButton);
    return column;
}

QWidget *SettingsDialog::buildExtensionsPage()
{
    videoExtensionsEdit = new QTextEdit;
    videoExtensionsEdit->setObjectName(QStringLiteral("videoExtensionsEdit"));
    audioExtensionsEdit = new QTextEdit;
    audioExtensionsEdit->setObjectName(QStringLiteral("audioExtensionsEdit"));
    pictureExtensionsEdit = new QTextEdit;
    pictureExtensionsEdit->setObjectName(QStringLiteral("pictureExtensionsEdit"));

    auto *page = new QWidget;
    auto *layout = new QHBoxLayout(page);
    layout->addStretch();
    layout->addWidget(buildExtensionsColumn(
        QStringLiteral("Video:"), videoExtensionsEdit, &SettingsDialog::videoDefaultClicked));
    layout->addStretch();
    layout->addWidget(buildExtensionsColumn(
        QStringLiteral("Audio:"), audioExtensionsEdit, &SettingsDialog::audioDefaultClicked));
    layout->addStretch();
    layout->addWidget(buildExtensionsColumn(QStringLiteral("Pictures:"), pictureExtensionsEdit,
        &SettingsDialog::pictureDefaultClicked));
    layout->addStretch();
    return page;
}

void SettingsDialog::loadValues()
{
    scalingGroup->setChecked(settings->scale());
    compensateCheck->setChecked(!settings->squarePixels());

    QRadioButton *const systems[] = { palButton, ntscButton, hdtv720Button, hdtv1080Button };
    const uint system = settings->tvSystem();
    if (system < std::size(systems))
        systems[system]->setChecked(true);

    // After the system: a stored 4:3 format moves a stored HDTV system to PAL.
    switch (settings->tvFormat()) {
    case Settings::NORMAL:
        normalTvButton->setChecked(true);
        normalTvSelected();
        break;
    case Settings::WIDESCREEN:
        widescreenTvButton->setChecked(true);
        widescreenTvSelected();
        break;
    }

    colorCorrectionCheck->setChecked(settings->compress());
    serverNameEdit->setText(settings->serverName());
    serveUpnpCheck->setChecked(settings->serveUpnp());

    const QStringList filters = settings->extensions();
    videoExtensionsEdit->setPlainText(patternsPerLine(filters.value(0)));
    audioExtensionsEdit->setPlainText(patternsPerLine(filters.value(1)));
    pictureExtensionsEdit->setPlainText(patternsPerLine(filters.value(2)));
}

void SettingsDialog::ok()
{
    const bool scale = scalingGroup->isChecked();
    const bool squarePixels = !compensateCheck->isChecked();
    uint system = Settings::PAL;
    if (palButton->isChecked())
        system = Settings::PAL;
    else if (ntscButton->isChecked())
        system = Settings::NTSC;
    else if (hdtv720Button->isChecked())
        system = Settings::HDTV_720;
    else if (hdtv1080Button->isChecked())
        system = Settings::HDTV_1080;
    uint format = Settings::NORMAL;
    if (normalTvButton->isChecked())
        format = Settings::NORMAL;
    else if (widescreenTvButton->isChecked())
        format = Settings::WIDESCREEN;
    const bool compress = colorCorrectionCheck->isChecked();

    settings->setScaling(system, format, scale, squarePixels, compress);
    settings->setServerName(cutServerName(serverNameEdit->text()));
    settings->setExtensions(videoExtensionsEdit->toPlainText(), audioExtensionsEdit->toPlainText(),
        pictureExtensionsEdit->toPlainText());
    settings->setServeUpnp(serveUpnpCheck->isChecked());
    accept();
}

// A 4:3 television is offered only PAL and NTSC.
void SettingsDialog::normalTvSelected()
{
    if (hdtv720Button->isChecked() || hdtv1080Button->isChecked())
        palButton->setChecked(true);
    hdtv720Button->setEnabled(false);
    hdtv1080Button->setEnabled(false);
    palButton->setEnabled(true);
    ntscButton->setEnabled(true);
}

void SettingsDialog::widescreenTvSelected()
{
    palButton->setEnabled(true);
    ntscButton->setEnabled(true);
    hdtv720Button->setEnabled(true);
    hdtv1080Button->setEnabled(true);
}

void SettingsDialog::videoDefaultClicked()
{
    videoExtensionsEdit->setPlainText(defaultFilter(0));
}

void SettingsDialog::audioDefaultClicked()
{
    audioExtensionsEdit->setPlainText(defaultFilter(1));
}

void SettingsDialog::pictureDefaultClicked()
{
    pictureExtensionsEdit->setPlainText(defaultFilter(2));
}
