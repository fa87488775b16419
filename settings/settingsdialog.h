#pragma once

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QRadioButton;
class QTextEdit;
class QWidget;
class Settings;

// Edits a copy of the settings in its controls; only "&Ok" writes them to the model, through
// its three setters. Controls carry object names so tests can find them.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    SettingsDialog(Settings *settings, QWidget *parent = nullptr);
    ~SettingsDialog() override;

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
};
