#include "ui/ErrorReport.h"

#include "coef/Errors.h"
#include "ui/Prompts.h"

QString ErrorReportText(const QString& message) {
    if (message.isEmpty()) {
        return message;
    }
    const QChar last = message.back();
    if (last.unicode() <= u'.') {
        return message;
    }
    return message + QLatin1Char('.');
}

QString ErrorMessage(const std::exception& error) {
    return QString::fromUtf8(error.what());
}

void ShowErrorReport(IPrompts& prompts, const std::exception& error) {
    prompts.ShowError(ApplicationTitle(), ErrorReportText(ErrorMessage(error)));
}

QString StartupErrorText(const std::exception& error, const QString& moduleName, const void* address) {
    const auto* own = dynamic_cast<const ERq7Error*>(&error);
    const QString className =
        own != nullptr ? QString::fromLatin1(own->ClassName()) : QStringLiteral("Exception");
    const QString where =
        QStringLiteral("%1").arg(reinterpret_cast<quintptr>(address), 8, 16, QLatin1Char('0')).toUpper();
    // Here only a full stop counts as an ending: a message ending in ")" or "!" gets one as well.
    QString message = ErrorMessage(error);
    if (!message.endsWith(QLatin1Char('.'))) {
        message += QLatin1Char('.');
    }
    return QStringLiteral("Exception %1 in module %2 at %3.\n%4\n")
        .arg(className, moduleName, where, message);
}
