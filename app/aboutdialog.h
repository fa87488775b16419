#pragma once

#include <QDialog>

// The About box: our picture with the product title and maker's notice laid over it.
class AboutDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AboutDialog(QWidget *parent = nullptr);
    ~AboutDialog() override;
};
