#include "app/OnboardingView.h"

#include "app/Monitor.h"
#include "app/Style.h"
#include "platform/Platform.h"
#include "util/LocalTime.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace corvane::app {

namespace {

const QString kInstructions = "1.  Turn Wi-Fi and Bluetooth OFF on this Mac.\n"
                              "2.  Leave Wi-Fi and Bluetooth ON on your iPhone/iPad.\n"
                              "3.  Connect the iPhone to this Mac with a USB cable.\n"
                              "4.  Turn Wi-Fi and Bluetooth back ON on this Mac.\n"
                              "\n"
                              "Wait for the BLE id to appear, then continue.";

QLabel* bodyText(const QString& text, QWidget* parent) {
    auto* label = Style::text(text, Style::font(13), Style::white(0.8), parent);
    label->setWordWrap(true);
    // Line spacing 3 points above the font's own.
    label->setStyleSheet("QLabel { line-height: 130%; }");
    return label;
}

QPushButton* button(const QString& text, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setAccessibleName(text);
    b->setMinimumHeight(28);
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

} // namespace

OnboardingView::OnboardingView(Monitor& monitor, QWidget* parent)
    : QWidget(parent), monitor_(monitor), clock_([] { return util::nowEpoch(); }) {
    setAccessibleName("Corvane Monitor setup");
    setFocusPolicy(Qt::StrongFocus);
    setAutoFillBackground(false);
    timer_.setInterval(1000);
    connect(&timer_, &QTimer::timeout, this, &OnboardingView::tick);

    auto* outer = new QVBoxLayout(this);
    outer->setAlignment(Qt::AlignCenter);
    auto* panel = panel_ = new QFrame(this);
    panel->setObjectName("panel");
    panel->setFixedWidth(580);
    panel->setStyleSheet("#panel { background: rgb(20,20,20); border: 1px solid rgb(51,51,51);"
                         " border-radius: 14px; }");
    outer->addWidget(panel, 0, Qt::AlignCenter);

    auto* stack = new QVBoxLayout(panel);
    stack->setContentsMargins(36, 36, 36, 36);
    stack->setSpacing(22);
    auto* header = new QHBoxLayout;
    header->setSpacing(10);
    header->addWidget(Style::text("CV", Style::mono(16, QFont::Bold), Style::green, panel));
    header->addWidget(
        Style::text("Corvane Monitor — Setup", Style::font(15, QFont::DemiBold), Qt::white, panel));
    header->addStretch();
    stack->addLayout(header);

    pageStack_ = stack;
    buildWelcome();
    buildFda();
    buildVerify();
    buildDemo();
    connect(&monitor_, &Monitor::hasFullDiskAccessChanged, this, &OnboardingView::updateFda);
    // Each pass refreshes the baseline: the lines follow it as the dashboard does.
    connect(&monitor_, &Monitor::analysed, this, [this] {
        // While the countdown runs it evaluates every ten seconds itself.
        if (step_ == Step::verify && bleMac_ && !timer_.isActive()) {
            evaluate();
        }
    });
    showStep(Step::welcome);
}

void OnboardingView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, 235)); // black at 0.92
}

QWidget* OnboardingView::makePage(const QString& title, const QString& body, int spacing) {
    auto* page = new QWidget(panel_);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    auto* heading = Style::text(title, Style::font(16, QFont::DemiBold), Qt::white, page);
    heading->setWordWrap(true);
    layout->addWidget(heading);
    if (!body.isEmpty()) {
        layout->addWidget(bodyText(body, page));
    }
    page->hide();
    pageStack_->addWidget(page);
    pages_.append(page);
    return page;
}

void OnboardingView::buildWelcome() {
    QWidget* page = makePage(
        "What this does",
        "Corvane Monitor reads your Mac's own system log and flags any device or account that "
        "authenticates as the owner of your Apple ID. Three quick steps and you're set.",
        18);
    begin_ = button("Begin", page);
    connect(begin_, &QPushButton::clicked, this, [this] { showStep(Step::fda); });
    auto* row = new QHBoxLayout;
    row->addWidget(begin_);
    row->addStretch();
    static_cast<QVBoxLayout*>(page->layout())->addLayout(row);
}

void OnboardingView::buildFda() {
    const auto advice = platform::logAccessAdvice();
    QWidget* page = makePage("Step 1 — Allow Full Disk Access",
                             advice ? QString::fromStdString(*advice)
                                    : "Corvane Monitor needs Full Disk Access to read the system "
                                      "log. Click Open Settings, enable CV-APP under Full Disk "
                                      "Access, then come back.",
                             18);
    auto* layout = static_cast<QVBoxLayout*>(page->layout());
    auto* status =
        Style::symbolLabel("warning", "Not yet enabled", Style::mono(12), Style::orange, page);
    fdaStatus_ = status->findChild<QLabel*>("text");
    status->setObjectName("fdaStatusRow");
    layout->addWidget(status);
    auto* settings = button("Open Settings", page);
    auto* recheck = button("Re-check", page);
    fdaContinue_ = button("Continue", page);
    connect(settings, &QPushButton::clicked, &monitor_, &Monitor::openFullDiskAccessSettings);
    connect(recheck, &QPushButton::clicked, &monitor_, &Monitor::checkFullDiskAccess);
    connect(fdaContinue_, &QPushButton::clicked, this, [this] {
        if (monitor_.hasFullDiskAccess()) {
            showStep(Step::verify);
        }
    });
    // Where the system has no settings pane for it, there is nothing to open.
    settings->setVisible(!advice);
    auto* row = new QHBoxLayout;
    row->addWidget(settings);
    row->addWidget(recheck);
    row->addWidget(fdaContinue_);
    row->addStretch();
    addDemoLink(page, row);
    layout->addLayout(row);
}

void OnboardingView::addDemoLink(QWidget* page, QBoxLayout* row) {
    auto* demo = button("See the Demo", page);
    demo->setFlat(true);
    connect(demo, &QPushButton::clicked, this, [this] {
        stopCountdown();
        showStep(Step::demo);
    });
    row->addWidget(demo);
}

void OnboardingView::buildVerify() {
    QWidget* page = makePage("We need to determine your device network IDs", {}, 16);
    auto* layout = static_cast<QVBoxLayout*>(page->layout());
    auto* box = new QFrame(page);
    box->setObjectName("instructions");
    box->setStyleSheet("#instructions { background: rgb(31,31,31); border-radius: 8px;"
                       " border: 1px solid rgba(48,209,88,102); }");
    auto* boxLayout = new QVBoxLayout(box);
    boxLayout->setContentsMargins(12, 12, 12, 12);
    auto* instructions = bodyText(kInstructions, box);
    instructions->setObjectName("instructionText");
    instructions->setStyleSheet("background: transparent; border: none;");
    boxLayout->addWidget(instructions);
    layout->addWidget(box);

    auto* status = new QVBoxLayout;
    status->setSpacing(6);
    waiting_ = new QWidget(page);
    auto* waitingRow = new QHBoxLayout(waiting_);
    waitingRow->setContentsMargins(0, 0, 0, 0);
    waitingRow->addWidget(new Style::Spinner(waiting_));
    waitingRow->addWidget(
        Style::text("Waiting for BLE id…", Style::mono(12), Style::white(0.8), waiting_));
    waitingRow->addStretch();
    status->addWidget(waiting_);
    auto* ble =
        Style::symbolLabel("checkmark-seal", "BLE id: ", Style::mono(12), Style::green, page);
    ble->setObjectName("bleRow");
    bleLine_ = ble->findChild<QLabel*>("text");
    status->addWidget(ble);
    directLinkLine_ = Style::text({}, Style::mono(12), Style::white(0.6), page);
    directLinkLine_->setObjectName("directLinkLine");
    status->addWidget(directLinkLine_);
    countdown_ = Style::text({}, Style::mono(12), Style::white(0.8), page);
    countdown_->setObjectName("countdown");
    countdown_->setWordWrap(true);
    countdown_->setAccessibleName("Time left to learn your phone");
    status->addWidget(countdown_);
    layout->addLayout(status);

    verifyButton_ = button("Skip for now", page);
    connect(verifyButton_, &QPushButton::clicked, this, [this] {
        stopCountdown();
        showStep(Step::demo);
    });
    auto* row = new QHBoxLayout;
    row->addWidget(verifyButton_);
    row->addStretch();
    addDemoLink(page, row);
    layout->addLayout(row);
}

void OnboardingView::buildDemo() {
    QWidget* page = makePage(
        "Step 3 — See how it works",
        "Load the demo to see a populated dashboard and the kinds of exploits used in DDM/MDM "
        "device theft — rogue DirectLink and AWDL connections, screen-sharing access, and the "
        "controlling accounts behind them. You can clear it anytime.",
        18);
    loadDemo_ = button("Load Demo", page);
    skipToLive_ = button("Skip to live", page);
    connect(loadDemo_, &QPushButton::clicked, this, [this] {
        monitor_.loadDemo();
        stopCountdown();
        monitor_.finish();
    });
    connect(skipToLive_, &QPushButton::clicked, this, [this] {
        stopCountdown();
        monitor_.finish();
    });
    auto* row = new QHBoxLayout;
    row->addWidget(loadDemo_);
    row->addWidget(skipToLive_);
    row->addStretch();
    auto* layout = static_cast<QVBoxLayout*>(page->layout());
    layout->addLayout(row);
    // Off until the owner asks: an app that starts itself is the owner's choice.
    startAtLogin_ = new QCheckBox("Start Corvane Monitor when I log in", page);
    startAtLogin_->setObjectName("startAtLogin");
    startAtLogin_->setFont(Style::font(12));
    startAtLogin_->setChecked(platform::startsAtLogin());
    connect(startAtLogin_, &QCheckBox::toggled, this, [this](bool on) {
        const auto set =
            platform::setStartAtLogin(on, QCoreApplication::applicationFilePath().toStdString());
        if (!set) {
            monitor_.setLastError(QString::fromStdString("Start at login — " + set.failure().what +
                                                         ": " + set.failure().why));
            QSignalBlocker quiet(startAtLogin_);
            startAtLogin_->setChecked(platform::startsAtLogin());
        }
    });
    layout->addWidget(startAtLogin_);
}

void OnboardingView::showStep(Step step) {
    step_ = step;
    // Only the page shown takes room, so the panel fits it.
    for (int index = 0; index < pages_.size(); ++index) {
        pages_[index]->setVisible(index == static_cast<int>(step));
    }
    updateFda();
    updateVerify();
    if (step == Step::verify && !running_ && !bleMac_) {
        startVerification();
    }
    setFocus();
    emit stepChanged(step);
}

QPushButton* OnboardingView::defaultButton() const {
    switch (step_) {
    case Step::welcome:
        return begin_;
    case Step::fda:
        return fdaContinue_;
    case Step::verify:
        return bleMac_ ? verifyButton_ : nullptr;
    case Step::demo:
        return loadDemo_;
    }
    return nullptr;
}

QPushButton* OnboardingView::cancelButton() const {
    return step_ == Step::verify && !bleMac_ ? verifyButton_ : nullptr;
}

void OnboardingView::keyPressEvent(QKeyEvent* event) {
    QPushButton* target = nullptr;
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        target = defaultButton();
    } else if (event->key() == Qt::Key_Escape) {
        target = cancelButton();
    }
    if (!target) {
        QWidget::keyPressEvent(event);
        return;
    }
    if (target->isEnabled()) {
        target->click();
    }
}

void OnboardingView::updateFda() {
    const bool granted = monitor_.hasFullDiskAccess();
    Style::setSymbolLabel(findChild<QWidget*>("fdaStatusRow"),
                          granted ? "checkmark-seal" : "warning",
                          granted ? "Full Disk Access granted" : "Not yet enabled",
                          granted ? Style::green : Style::orange);
    fdaContinue_->setEnabled(granted);
    for (QPushButton* b : {begin_, fdaContinue_, loadDemo_}) {
        b->setDefault(b == defaultButton());
    }
}

void OnboardingView::updateVerify() {
    waiting_->setVisible(!bleMac_);
    findChild<QWidget*>("bleRow")->setVisible(bleMac_.has_value());
    directLinkLine_->setVisible(bleMac_.has_value());
    if (bleMac_) {
        Style::setSymbolLabel(findChild<QWidget*>("bleRow"), "checkmark-seal",
                              "BLE id: " + *bleMac_, Style::green);
        directLinkLine_->setText(connMac_ ? "DirectLink: " + *connMac_ + "  (" + connState_ + ")"
                                          : "DirectLink: searching in background…");
    }
    updateCountdown();
    verifyButton_->setText(bleMac_ ? "Continue" : "Skip for now");
    verifyButton_->setAccessibleName(verifyButton_->text());
    verifyButton_->setDefault(bleMac_.has_value());
    fitPanel(); // a line more or less
}

void OnboardingView::startVerification() {
    monitor_.startMonitoring();
    startEpoch_ = clock_();
    elapsed_ = 0;
    running_ = true;
    timer_.start();
    updateCountdown();
}

void OnboardingView::stopCountdown() {
    timer_.stop();
    running_ = false;
    looking_ = false;
}

QString OnboardingView::countdownText() const {
    if (running_) {
        return QString::asprintf("Learning your phone: %lld:%02lld left",
                                 static_cast<long long>(remaining() / 60),
                                 static_cast<long long>(remaining() % 60));
    }
    if (looking_) {
        return "No phone found near this Mac yet. Still looking: bring your phone next to this "
               "Mac, unlocked, with Bluetooth on.";
    }
    if (remaining() > 0 || startEpoch_ == 0 || !bleMac_) {
        return {}; // not started, or skipped
    }
    return "Learning finished: your phone is recorded. Continue when ready.";
}

void OnboardingView::updateCountdown() {
    const QString text = countdownText();
    if (text == countdown_->text()) {
        return;
    }
    countdown_->setText(text);
    countdown_->setVisible(!text.isEmpty());
    fitPanel(); // shown, hidden, or wrapped onto another line
}

void OnboardingView::fitPanel() {
    // Centred, the panel would get its size hint, which a wrapped text overestimates.
    panel_->setFixedHeight(panel_->heightForWidth(panel_->width()));
}

void OnboardingView::tick() {
    ++elapsed_;
    updateCountdown();
    if (elapsed_ % 10 == 0) {
        if (bleMac_) {
            evaluate();
        } else {
            learn();
        }
    }
    if (running_ && remaining() == 0) {
        endVerification();
    }
}

void OnboardingView::endVerification() {
    running_ = false;
    // Without a phone the ticks go on: a phone farther than the floor is a neighbour's, and
    // learning one later beats learning the wrong one now.
    looking_ = !bleMac_;
    if (!looking_) {
        timer_.stop();
    }
    updateVerify();
    evaluate();
}

void OnboardingView::found(const QString& ble) {
    bleMac_ = ble;
    if (looking_) {
        stopCountdown();
        evaluate(); // the DirectLink line follows the phone
    }
    updateVerify();
    emit verifyStatusChanged();
}

void OnboardingView::learn() {
    QPointer<OnboardingView> self(this);
    // Still looking after the countdown: only the last ten minutes tell where the phone is now.
    const double since = looking_ ? std::max(startEpoch_, clock_() - VERIFY_SECONDS) : startEpoch_;
    monitor_.learnOwner(since, [self](std::optional<QString> ble) {
        if (self && ble && !self->bleMac_) {
            self->found(*ble);
        }
    });
}

void OnboardingView::evaluate() {
    QPointer<OnboardingView> self(this);
    monitor_.evaluateOwner(
        [self](std::optional<QString> ble, std::optional<QString> conn, QString state) {
            if (!self) {
                return;
            }
            self->connMac_ = conn;
            self->connState_ = state;
            // The phone as the baseline file now names it, the one the dashboard shows.
            if (ble) {
                self->found(*ble);
                return;
            }
            self->updateVerify();
            emit self->verifyStatusChanged();
        });
}

} // namespace corvane::app
