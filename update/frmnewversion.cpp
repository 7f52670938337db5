// SPDX-License-Identifier: MIT
// The new-version dialog; see frmnewversion.h. The .ui file holds the layout, this file the
// handlers and the looks the designer cannot express portably.
#include "frmnewversion.h"

#include "ui_frmnewversion.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>

TfrmNewVersion::TfrmNewVersion(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), ui(std::make_unique<Ui::TfrmNewVersion>())
{
    ui->setupUi(this);
    setFixedSize(400, 355);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);
    // Centred on the screen rather than over the owner, which may still be hidden at start-up.
    if (QScreen *screen = owner ? owner->screen() : QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    ui->mmoNewFeatures->clear();

    OpenUrl = [](const QUrl &url) { QDesktopServices::openUrl(url); };
    ui->lblURL->installEventFilter(this);
    connect(ui->btnClose, &QPushButton::clicked, this, &TfrmNewVersion::btnCloseClick);
}

TfrmNewVersion::~TfrmNewVersion() = default;

void TfrmNewVersion::SetTexts(const TNewVersionTexts &texts)
{
    ui->lblThisVersion->setText(texts.ThisVersion);
    ui->lblCurrentVersion->setText(texts.CurrentVersion);
    ui->lblURL->setText(texts.Url);
    ui->mmoNewFeatures->setPlainText(texts.Features.join(QLatin1Char('\n')));
}

QLabel *TfrmNewVersion::lblURL() const
{
    return ui->lblURL;
}

QLabel *TfrmNewVersion::lblThisVersion() const
{
    return ui->lblThisVersion;
}

QLabel *TfrmNewVersion::lblCurrentVersion() const
{
    return ui->lblCurrentVersion;
}

QPlainTextEdit *TfrmNewVersion::mmoNewFeatures() const
{
    return ui->mmoNewFeatures;
}

QPushButton *TfrmNewVersion::btnClose() const
{
    return ui->btnClose;
}

void TfrmNewVersion::lblURLClick()
{
    const QUrl url(ui->lblURL->text(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || !OpenUrl)
        return;
    OpenUrl(url);
}

void TfrmNewVersion::btnCloseClick()
{
    close();
}

bool TfrmNewVersion::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->lblURL && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        lblURLClick();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void ShowNewVersionDialog(QWidget *owner, const TNewVersionTexts &texts)
{
    // On the heap and watched: an owner destroyed while the dialog waits takes the dialog with it.
    QPointer<TfrmNewVersion> dialog = new TfrmNewVersion(owner);
    dialog->SetTexts(texts);
    dialog->exec();
    delete dialog.data();
}
