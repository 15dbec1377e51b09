#include "app/Dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QPushButton>

namespace corvane::app::Dialogs {
namespace {

Hooks& hooks() {
    static Hooks installed;
    return installed;
}

} // namespace

void setHooks(Hooks replacement) {
    hooks() = std::move(replacement);
}

int ask(QWidget* parent, const Question& question) {
    if (hooks().ask) {
        return hooks().ask(question);
    }
    QMessageBox box(question.icon, question.title, question.text, QMessageBox::NoButton, parent);
    box.setTextFormat(Qt::PlainText); // a file name or a reason is never markup
    box.setWindowModality(Qt::ApplicationModal);
    QList<QAbstractButton*> buttons;
    for (const QString& label : question.buttons) {
        buttons.append(box.addButton(label, QMessageBox::ActionRole));
    }
    if (!buttons.isEmpty()) {
        box.setDefaultButton(qobject_cast<QPushButton*>(buttons.first()));
    }
    if (question.escape >= 0 && question.escape < buttons.size()) {
        box.setEscapeButton(buttons[question.escape]);
    }
    box.exec();
    return static_cast<int>(buttons.indexOf(box.clickedButton()));
}

QString saveFileName(QWidget* parent, const QString& title, const QString& proposedPath) {
    if (hooks().saveFileName) {
        return hooks().saveFileName(title, proposedPath);
    }
    return QFileDialog::getSaveFileName(parent, title, proposedPath, "ZIP archives (*.zip)");
}

void openUrl(const QUrl& url) {
    if (hooks().openUrl) {
        hooks().openUrl(url);
        return;
    }
    QDesktopServices::openUrl(url);
}

} // namespace corvane::app::Dialogs
