#include "settings/settingsdialog.h"

#include "convert/clientprofiles.h"
#include "convert/clientregistry.h"
#include "net/servername.h"
#include "settings/settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextEdit>
#include <QVBoxLayout>

#include <algorithm>
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
const char conversionHelp[]
    = "When a smart TV, console or other DLNA client cannot play a file as it is, Hearth "
      "converts it with FFmpeg while it plays, changing only what that client cannot play. "
      "Turn this off to offer every file as it is stored.";
const char conversionLimitHelp[]
    = "How many conversions may run at the same time. Each one keeps a processor core busy; a "
      "client that asks for one more while this many run is told the server is busy.";
const char clientsHelp[]
    = "The smart TVs, consoles and programs that have used this server since it started, what "
      "each was recognised as, and the profile it is served with. Choose another profile for a "
      "client that was recognised wrongly, or \"Plays everything\" for one that plays every file "
      "as it is. \"Automatic\" serves it as it was recognised.";

enum ClientColumn { NameColumn, AddressColumn, RecognisedColumn, ProfileColumn, ClientColumns };

QTableWidgetItem *readOnlyItem(const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled);
    return item;
}

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
    tabs->addTab(buildClientsPage(), QStringLiteral("Clients"));

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

QWidget *SettingsDialog::buildClientsPage()
{
    conversionCheck = checkBox(QStringLiteral("Convert what a client cannot play"),
        "conversionCheck", QLatin1String(conversionHelp));

    auto *limitLabel = new QLabel(QStringLiteral("Conversions at once:"));
    limitLabel->setWhatsThis(QLatin1String(conversionLimitHelp));
    conversionLimitSpin = new QSpinBox;
    conversionLimitSpin->setObjectName(QStringLiteral("conversionLimitSpin"));
    conversionLimitSpin->setRange(1, Settings::maximumConversionLimit);
    conversionLimitSpin->setWhatsThis(QLatin1String(conversionLimitHelp));
    limitLabel->setBuddy(conversionLimitSpin);
    connect(conversionCheck, &QCheckBox::toggled, conversionLimitSpin, &QWidget::setEnabled);

    auto *limitRow = new QHBoxLayout;
    limitRow->addWidget(limitLabel);
    limitRow->addWidget(conversionLimitSpin);
    limitRow->addStretch();

    auto *clientsLabel = new QLabel(QStringLiteral("Clients:"));
    clientsLabel->setWhatsThis(QLatin1String(clientsHelp));
    clientsTable = new QTableWidget(0, ClientColumns);
    clientsTable->setObjectName(QStringLiteral("clientsTable"));
    clientsTable->setWhatsThis(QLatin1String(clientsHelp));
    clientsTable->setHorizontalHeaderLabels({ QStringLiteral("Name"), QStringLiteral("Address"),
        QStringLiteral("Recognised as"), QStringLiteral("Profile") });
    clientsTable->verticalHeader()->hide();
    clientsTable->setSelectionMode(QAbstractItemView::NoSelection);
    clientsTable->setCornerButtonEnabled(false);
    clientsTable->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    clientsTable->horizontalHeader()->setSectionResizeMode(NameColumn, QHeaderView::Stretch);
    clientsLabel->setBuddy(clientsTable);

    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(conversionCheck);
    layout->addLayout(limitRow);
    layout->addSpacing(12);
    layout->addWidget(clientsLabel);
    layout->addWidget(clientsTable, 1);
    return page;
}

void SettingsDialog::setClients(const ClientRegistry *registry, const ClientProfiles *profiles)
{
    this->registry = registry;
    this->profiles = profiles;
    fillClients();
}

QComboBox *SettingsDialog::profileChooser(const QString &chosen) const
{
    auto *chooser = new QComboBox;
    chooser->setWhatsThis(QLatin1String(clientsHelp));
    chooser->addItem(QStringLiteral("Automatic"), QString());
    const QString everything = QLatin1String(ClientProfiles::everythingId);
    chooser->addItem(QStringLiteral("Plays everything"), everything);
    if (profiles) {
        QList<ClientProfile> all = profiles->all();
        std::sort(all.begin(), all.end(), [](const ClientProfile &a, const ClientProfile &b) {
            return a.name.localeAwareCompare(b.name) < 0;
        });
        for (const ClientProfile &profile : std::as_const(all)) {
            if (profile.id != everything)
                chooser->addItem(profile.name, profile.id);
        }
    }
    int index = chooser->findData(chosen);
    if (index < 0) {
        // A profile file that is not there (yet): the choice stays as the file holds it.
        chooser->addItem(chosen + QStringLiteral(" (no such profile)"), chosen);
        index = chooser->count() - 1;
    }
    chooser->setCurrentIndex(index);
    return chooser;
}

void SettingsDialog::addClientRow(const QString &name, const QString &address,
    const QString &recognised, const QString &client, const QString &chosen)
{
    const int row = clientsTable->rowCount();
    clientsTable->insertRow(row);
    clientsTable->setItem(row, NameColumn, readOnlyItem(name));
    clientsTable->setItem(row, AddressColumn, readOnlyItem(address));
    clientsTable->setItem(row, RecognisedColumn, readOnlyItem(recognised));
    QComboBox *chooser = profileChooser(chosen);
    clientsTable->setCellWidget(row, ProfileColumn, chooser);
    clientRows.append({ client, chosen, chooser });
}

void SettingsDialog::fillClients()
{
    clientRows.clear();
    clientsTable->setRowCount(0);
    const QList<ClientOverride> overrides = settings->clientOverrides();
    const auto choiceOf = [&](const QString &client) -> const ClientOverride * {
        for (const ClientOverride &entry : overrides) {
            if (!client.isEmpty() && entry.client == client)
                return &entry;
        }
        return nullptr;
    };
    QStringList listed;
    if (registry) {
        const QList<ClientRegistry::Seen> seen = registry->seen();
        for (const ClientRegistry::Seen &client : seen) {
            // The choice that applies, looked up as the registry does: by address, then name.
            const ClientOverride *choice = choiceOf(client.address);
            if (!choice)
                choice = choiceOf(client.name);
            const ClientProfile *profile = profiles ? profiles->find(client.profile) : nullptr;
            addClientRow(client.name, client.address, profile ? profile->name : client.profile,
                choice ? choice->client : client.address, choice ? choice->profile : QString());
            listed << client.address << client.name;
        }
    }
    // Choices for clients not seen in this run stay listed, so they can be undone.
    for (const ClientOverride &entry : overrides) {
        if (listed.contains(entry.client))
            continue;
        const bool isAddress = !QHostAddress(entry.client).isNull();
        addClientRow(isAddress ? QString() : entry.client, isAddress ? entry.client : QString(),
            QStringLiteral("(not seen in this run)"), entry.client, entry.profile);
    }
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

    conversionCheck->setChecked(settings->conversionEnabled());
    conversionLimitSpin->setValue(settings->conversionLimit());
    conversionLimitSpin->setEnabled(settings->conversionEnabled());
    fillClients();
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

    settings->setConversionEnabled(conversionCheck->isChecked());
    settings->setConversionLimit(conversionLimitSpin->value());
    // Only the rows the user changed: the rest of the choices stay as they were stored.
    QList<ClientOverride> overrides = settings->clientOverrides();
    for (const ClientRow &row : std::as_const(clientRows)) {
        const QString chosen = row.chooser->currentData().toString();
        if (chosen == row.opened)
            continue;
        const auto same = [&](const ClientOverride &entry) { return entry.client == row.client; };
        overrides.erase(std::remove_if(overrides.begin(), overrides.end(), same), overrides.end());
        if (!chosen.isEmpty())
            overrides.append({ row.client, chosen });
    }
    settings->setClientOverrides(overrides);
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
