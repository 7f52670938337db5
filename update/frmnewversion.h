// SPDX-License-Identifier: MIT
// The "New Version Available!" dialog of the version check: the newest release, its date, its
// features and a link to its download page. Created and freed by each check that finds one.
#pragma once

#include "versioncheck.h"

#include <QDialog>
#include <QUrl>

#include <functional>
#include <memory>

namespace Ui {
class TfrmNewVersion;
}
class QLabel;
class QPlainTextEdit;
class QPushButton;

class TfrmNewVersion : public QDialog
{
    Q_OBJECT

public:
    explicit TfrmNewVersion(QWidget *owner = nullptr);
    ~TfrmNewVersion() override;

    void SetTexts(const TNewVersionTexts &texts);

    // Hands a link to the desktop; tests put their own here so that nothing is opened.
    std::function<void(const QUrl &url)> OpenUrl;

    QLabel *lblURL() const;
    QLabel *lblThisVersion() const;
    QLabel *lblCurrentVersion() const;
    QPlainTextEdit *mmoNewFeatures() const;
    QPushButton *btnClose() const;

    // Opens the link's caption when it reads as an address with a scheme; anything else
    // ("Location Not Found") opens nothing.
    void lblURLClick();
    void btnCloseClick();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    std::unique_ptr<Ui::TfrmNewVersion> ui;
};

// Shows the dialog modally with the given texts, owned by owner, and frees it when closed.
void ShowNewVersionDialog(QWidget *owner, const TNewVersionTexts &texts);
