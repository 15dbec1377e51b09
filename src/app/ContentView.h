#pragma once

#include "app/OnboardingView.h"
#include "evidence/Export.h"

#include <QPointer>
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

namespace corvane::app {

class Monitor;

class WebRadarView;

/// The control panel window: the status bar with every control, the Full Disk Access
/// warning, the error line and the web dashboard, with the setup assistant laid over it
/// until setup is done. It shows the application's one Monitor; closing it stops nothing.
class ContentView : public QWidget {
    Q_OBJECT
  public:
    explicit ContentView(Monitor& monitor, QWidget* parent = nullptr);

    WebRadarView* web() const { return web_; }
    /// The setup assistant while it is shown, else null.
    OnboardingView* onboarding() const { return onboarding_; }

    /// "Export": the save dialog, then the archive, written off the window's thread with its
    /// progress in the status bar; problems go to the error line.
    void exportEvidence();
    /// The dashboard's uninstall request: confirmation, removal (off the window's thread),
    /// final notice.
    void uninstall();
    /// "Re-run Setup": asks before the learned phone is forgotten.
    void rerunSetup();

    static const QString kUninstallTitle;
    static const QString kUninstallBody;
    static const QString kRemovedTitle;
    static const QString kRemovedBody;
    /// The final notice when the vault is still installed after the removal.
    static const QString kVaultLeftTitle;
    static const QString kVaultLeftBody;

  protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    QWidget* buildStatusBar();
    QWidget* buildFdaRow();
    QLabel* buildStateBanner();
    void refresh();
    void showExportProblem(const evidence::ExportOutcome& outcome);
    void updateOnboarding();
    /// Keeps every control of the bar whole at any width down to the minimum: the name of
    /// the app, which the window's title also shows, gives way first.
    void fitStatusBar();

    Monitor& monitor_;
    bool appeared_ = false;
    WebRadarView* web_;
    QPointer<OnboardingView> onboarding_;

    QWidget* statusBar_ = nullptr;
    QWidget* vaultSealed_;
    QPushButton* installVault_;
    QLabel* demoBadge_;
    QPushButton* demo_;
    QPushButton* live_;
    QWidget* monitoring_;
    QPushButton* stop_;
    QPushButton* start_;
    QPushButton* export_;
    QProgressBar* exportProgress_;
    QWidget* fdaRow_;
    QLabel* stateBanner_;
    QLabel* title_;
    QLabel* errorLine_;
};

} // namespace corvane::app
