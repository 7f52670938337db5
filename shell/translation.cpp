// SPDX-License-Identifier: MIT
// The program's translators; see translation.h.
#include "translation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include <memory>

namespace {

// Compiled in by the build (shell/CMakeLists.txt), so the program finds it wherever it lies.
const char *const kTranslationDir = ":/i18n";

QTranslator *ours = nullptr;
QTranslator *qts = nullptr;

void removeTranslator(QTranslator *&Translator)
{
    if (!Translator)
        return;
    QCoreApplication::removeTranslator(Translator);
    delete Translator;
    Translator = nullptr;
}

} // namespace

bool InstallTranslations(const QLocale &Locale)
{
    removeTranslator(ours);
    removeTranslator(qts);
    auto own = std::make_unique<QTranslator>();
    const bool found =
        own->load(Locale, QStringLiteral("linewatch"), QStringLiteral("_"), QString::fromLatin1(kTranslationDir));
    if (found && QCoreApplication::installTranslator(own.get()))
        ours = own.release();
    // Qt's own texts (OK, Cancel, the colour dialog) from the system's Qt translations, when
    // installed; only beside a translation of ours, so a window is never half in a language.
    auto qt = std::make_unique<QTranslator>();
    if (found &&
        qt->load(Locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
        QCoreApplication::installTranslator(qt.get()))
        qts = qt.release();
    return ours != nullptr;
}
