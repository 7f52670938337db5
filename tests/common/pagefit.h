// SPDX-License-Identifier: MIT
// Whether every caption, check box and button of each tab shows whole: wide enough for its text and
// inside its page. Longer words (German, a larger font) are what cut them.
#pragma once

#include <QAbstractButton>
#include <QCoreApplication>
#include <QLabel>
#include <QLayout>
#include <QScrollArea>
#include <QString>
#include <QTabWidget>

namespace lwtest {

inline bool insidePage(const QWidget *widget, const QWidget *page)
{
    for (const QWidget *w = widget; w != page && w->parentWidget(); w = w->parentWidget()) {
        // What a scroll area holds may be taller than its view (scrolling shows it), never wider:
        // our pages scroll up and down only.
        const QRect room = w->parentWidget()->rect();
        const auto *scroll = qobject_cast<const QScrollArea *>(w->parentWidget()->parentWidget());
        if (scroll && scroll->widget() == w) {
            if (w->geometry().left() < room.left() || w->geometry().right() > room.right())
                return false;
            continue;
        }
        if (!room.contains(w->geometry()))
            return false;
    }
    return true;
}

// The first widget that is cut, as "page/widget", or an empty text when none is.
inline QString firstCutWidget(QTabWidget *pages)
{
    for (int i = 0; i < pages->count(); ++i) {
        pages->setCurrentIndex(i);
        QWidget *page = pages->currentWidget();
        page->layout()->activate();
        QCoreApplication::processEvents();
        const QString where = page->objectName() + QLatin1Char('/');
        for (QLabel *label : page->findChildren<QLabel *>()) {
            // A label hidden for now (the live page's link while the web page is off) takes no room.
            if (!label->isVisibleTo(page))
                continue;
            const bool wide = label->wordWrap() ? label->height() >= label->heightForWidth(label->width())
                                                : label->width() >= label->sizeHint().width();
            if (!wide || !insidePage(label, page))
                return where + label->objectName();
        }
        for (QAbstractButton *button : page->findChildren<QAbstractButton *>()) {
            if (button->width() < button->sizeHint().width() || !insidePage(button, page))
                return where + button->objectName();
        }
    }
    return {};
}

} // namespace lwtest
