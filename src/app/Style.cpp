#include "app/Style.h"

#include <QApplication>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QStyleFactory>

namespace corvane::app::Style {

namespace {

// Sizes are macOS points, which are logical pixels there; as pixel sizes they keep the same
// proportions on screens of any resolution setting elsewhere.
QFont sized(QFont f, qreal points, QFont::Weight weight) {
    f.setPixelSize(qRound(points));
    f.setWeight(weight);
    return f;
}

} // namespace

QFont font(qreal points, QFont::Weight weight) {
    return sized(QFontDatabase::systemFont(QFontDatabase::GeneralFont), points, weight);
}

QFont mono(qreal points, QFont::Weight weight) {
    return sized(QFontDatabase::systemFont(QFontDatabase::FixedFont), points, weight);
}

QColor white(qreal whiteness, qreal opacity) {
    QColor c = QColor::fromRgbF(whiteness, whiteness, whiteness);
    c.setAlphaF(opacity);
    return c;
}

QLabel* text(const QString& text, const QFont& font, const QColor& color, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText); // what it shows may come from a log or a page
    label->setFont(font);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, color);
    label->setPalette(p);
    return label;
}

namespace {

QPixmap symbol(const QString& iconName, int size, const QColor& color) {
    // The icons are single-colour shapes: painted in the text's colour, like a template image.
    QPixmap shape = QIcon(":/icons/" + iconName + ".svg").pixmap(size, size);
    QPainter painter(&shape);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(shape.rect(), color);
    return shape;
}

} // namespace

QWidget* symbolLabel(const QString& iconName, const QString& caption, const QFont& font,
                     const QColor& color, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(5);
    auto* icon = new QLabel(row);
    icon->setObjectName("icon");
    layout->addWidget(icon);
    auto* label = text(caption, font, color, row);
    label->setObjectName("text");
    layout->addWidget(label);
    layout->addStretch();
    row->setAccessibleName(caption);
    setSymbolLabel(row, iconName, caption, color);
    return row;
}

void setSymbolLabel(QWidget* row, const QString& iconName, const QString& caption,
                    const QColor& color) {
    auto* icon = row->findChild<QLabel*>("icon");
    auto* label = row->findChild<QLabel*>("text");
    const int size = QFontMetrics(label->font()).height();
    icon->setPixmap(symbol(iconName, size, color));
    label->setText(caption);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, color);
    label->setPalette(p);
    row->setAccessibleName(caption);
}

void apply(QApplication& app) {
    app.setStyle(QStyleFactory::create("Fusion"));
    QPalette p;
    p.setColor(QPalette::Window, QColor(28, 28, 30));
    p.setColor(QPalette::WindowText, QColor(235, 235, 240));
    p.setColor(QPalette::Base, QColor(18, 18, 20));
    p.setColor(QPalette::AlternateBase, QColor(36, 36, 38));
    p.setColor(QPalette::Text, QColor(235, 235, 240));
    p.setColor(QPalette::Button, QColor(58, 58, 62));
    p.setColor(QPalette::ButtonText, QColor(240, 240, 245));
    p.setColor(QPalette::Highlight, blue);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(44, 44, 46));
    p.setColor(QPalette::ToolTipText, Qt::white);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(120, 120, 125));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(120, 120, 125));
    p.setColor(QPalette::Disabled, QPalette::Button, QColor(44, 44, 47));
    app.setPalette(p);
    app.setStyleSheet(
        "QPushButton { color: rgb(240,240,245); background: rgb(58,58,62);"
        " border: 1px solid rgb(78,78,84); border-radius: 6px; padding: 5px 14px;"
        " font-size: 13px; min-height: 16px; }"
        "QPushButton:hover { background: rgb(72,72,78); }"
        "QPushButton:pressed { background: rgb(44,44,48); }"
        "QPushButton:default { background: rgb(10,132,255); border-color: rgb(10,132,255); }"
        "QPushButton:default:hover { background: rgb(40,150,255); }"
        "QPushButton:disabled { color: rgb(120,120,125); background: rgb(40,40,43);"
        " border-color: rgb(52,52,56); }"
        // The keyboard's place: a ring no other state uses, as wide as the border it
        // replaces less a pixel of padding, so nothing moves.
        "QPushButton:focus { outline: none; border: 2px solid rgb(255,214,10);"
        " padding: 4px 13px; }"
        "QCheckBox:focus { color: rgb(255,214,10); }");
}

Spinner::Spinner(QWidget* parent) : QWidget(parent) {
    setFixedSize(sizeHint());
    startTimer(80);
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(white(0.8), 2, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(rect().adjusted(2, 2, -2, -2), -angle_ * 16, 270 * 16);
}

void Spinner::timerEvent(QTimerEvent*) {
    angle_ = (angle_ + 30) % 360;
    update();
}

} // namespace corvane::app::Style
