#pragma once

#include <QDialog>
#include <QList>
#include <QString>

class ClientProfiles;
class ClientRegistry;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QRadioButton;
class QSpinBox;
class QTableWidget;
class QTextEdit;
class QWidget;
class Settings;

// Edits a copy of the settings in its controls; only "&Ok" writes them to the model, through
// its setters. Controls carry object names so tests can find them.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    SettingsDialog(Settings *settings, QWidget *parent = nullptr);
    ~SettingsDialog() override;

    // The DLNA clients seen and the profiles to choose from, for the Clients page; without
    // them it lists only the clients the settings hold a choice for.
    void setClients(const ClientRegistry *registry, const ClientProfiles *profiles);

private slots:
    void ok();
    void normalTvSelected();
    void widescreenTvSelected();
    void videoDefaultClicked();
    void audioDefaultClicked();
    void pictureDefaultClicked();

private:
    QWidget *buildPicturesPage();
    QWidget *buildServerPage();
    QWidget *buildExtensionsPage();
    QWidget *buildClientsPage();
    void fillClients();
    void addClientRow(const QString &name, const QString &address, const QString &recognised,
        const QString &client, const QString &chosen);
    QComboBox *profileChooser(const QString &chosen) const;
    QWidget *buildExtensionsColumn(
        const QString &label, QTextEdit *edit, void (SettingsDialog::*defaultSlot)());
    void loadValues();

    Settings *settings;
    QGroupBox *scalingGroup = nullptr;
    QCheckBox *compensateCheck = nullptr;
    QRadioButton *palButton = nullptr;
    QRadioButton *ntscButton = nullptr;
    QRadioButton *hdtv720Button = nullptr;
    QRadioButton *hdtv1080Button = nullptr;
    QRadioButton *normalTvButton = nullptr;
    QRadioButton *widescreenTvButton = nullptr;
    QCheckBox *colorCorrectionCheck = nullptr;
    QLineEdit *serverNameEdit = nullptr;
    QCheckBox *serveUpnpCheck = nullptr;
    QTextEdit *videoExtensionsEdit = nullptr;
    QTextEdit *audioExtensionsEdit = nullptr;
    QTextEdit *pictureExtensionsEdit = nullptr;
    QCheckBox *conversionCheck = nullptr;
    QSpinBox *conversionLimitSpin = nullptr;
    QTableWidget *clientsTable = nullptr;

    const ClientRegistry *registry = nullptr;
    const ClientProfiles *profiles = nullptr;
    // One per table row: the client the row's choice is stored under (an address, or the
    // name a stored choice gives) and the choice it opened with ("" for automatic).
    struct ClientRow
    {
        QString client;
        QString opened;
        QComboBox *chooser;
    };
    QList<ClientRow> clientRows;
};
