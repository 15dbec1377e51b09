#pragma once

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <optional>

class QBoxLayout;
class QCheckBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace corvane::app {

class Monitor;

/// The first-run assistant laid over the control panel: what the app does, Full Disk
/// Access, learning the owner's phone during a ten-minute countdown (and after it, until a
/// phone is near: a neighbour's is never taken instead), and the demo offer.
class OnboardingView : public QWidget {
    Q_OBJECT
  public:
    enum class Step { welcome = 0, fda = 1, verify = 2, demo = 3 };
    static constexpr int VERIFY_SECONDS = 600;
    using Clock = std::function<double()>;

    OnboardingView(Monitor& monitor, QWidget* parent = nullptr);

    Step step() const { return step_; }
    bool running() const { return running_; }
    /// The countdown ended without a phone near the Mac; learning goes on until one is.
    bool looking() const { return looking_; }
    qint64 remaining() const { return std::max<qint64>(VERIFY_SECONDS - elapsed_, 0); }
    /// The countdown line: the time left, or how the learning ended.
    QString countdownText() const;
    const std::optional<QString>& bleMac() const { return bleMac_; }
    const std::optional<QString>& connMac() const { return connMac_; }
    const QString& connState() const { return connState_; }

    /// Seams for tests: the time the countdown starts from, and the countdown's tick.
    void setClock(Clock clock) { clock_ = std::move(clock); }
    void setTickInterval(int milliseconds) { timer_.setInterval(milliseconds); }
    /// One second of the countdown (and of the looking after it).
    void tick();

    /// The button Return presses on the current page, and the one Escape presses (or null).
    QPushButton* defaultButton() const;
    QPushButton* cancelButton() const;

  signals:
    void stepChanged(corvane::app::OnboardingView::Step step);
    /// The verification's status block changed (a learned address, an evaluation).
    void verifyStatusChanged();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    QWidget* makePage(const QString& title, const QString& body, int spacing);
    void buildWelcome();
    void buildFda();
    void buildVerify();
    void buildDemo();
    void showStep(Step step);
    void updateFda();
    void updateVerify();
    void startVerification();
    void stopCountdown();
    void endVerification();
    void updateCountdown();
    void fitPanel();
    /// "See the Demo" on a step before the demo offer: skips ahead to it.
    void addDemoLink(QWidget* page, QBoxLayout* row);
    void learn();
    void evaluate();
    /// The phone the baseline file names now, from learning or evaluating.
    void found(const QString& ble);

    Monitor& monitor_;
    Clock clock_;
    QWidget* panel_;
    QVBoxLayout* pageStack_;
    QList<QWidget*> pages_; // in Step order
    Step step_ = Step::welcome;
    bool running_ = false;
    bool looking_ = false;
    qint64 elapsed_ = 0; // seconds since the countdown began
    double startEpoch_ = 0;
    QTimer timer_;
    std::optional<QString> bleMac_;
    std::optional<QString> connMac_;
    QString connState_ = "searching";

    QPushButton* begin_ = nullptr;
    QLabel* fdaStatus_ = nullptr;
    QPushButton* fdaContinue_ = nullptr;
    QWidget* waiting_ = nullptr;
    QLabel* bleLine_ = nullptr;
    QLabel* directLinkLine_ = nullptr;
    QPushButton* verifyButton_ = nullptr;
    QPushButton* loadDemo_ = nullptr;
    QPushButton* skipToLive_ = nullptr;
    QLabel* countdown_ = nullptr;
    QCheckBox* startAtLogin_ = nullptr;
};

} // namespace corvane::app
