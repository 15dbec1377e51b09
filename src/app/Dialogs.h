#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

class QWidget;

namespace corvane::app {

/// Everything that leaves the application for the user or the desktop: message boxes, the
/// save dialog and opening URLs. Tests replace the hooks, so the paths behind each answer
/// are exercised without a person at the keyboard.
namespace Dialogs {

struct Question {
    QMessageBox::Icon icon;
    QString title;
    QString text;
    QStringList buttons; // in order; the first is the default
    /// The button that Escape (or closing the box) chooses: the safe answer. Every question
    /// that can destroy something has one.
    int escape = -1;
};

struct Hooks {
    /// The index of the button chosen, or -1 when the box was dismissed otherwise.
    std::function<int(const Question&)> ask;
    /// The chosen path, or empty when cancelled.
    std::function<QString(const QString& title, const QString& proposedPath)> saveFileName;
    std::function<void(const QUrl&)> openUrl;
};

/// Replaces the hooks that are set in `hooks`; an unset one keeps the real behaviour.
void setHooks(Hooks hooks);

int ask(QWidget* parent, const Question& question);
QString saveFileName(QWidget* parent, const QString& title, const QString& proposedPath);
void openUrl(const QUrl& url);

} // namespace Dialogs
} // namespace corvane::app
