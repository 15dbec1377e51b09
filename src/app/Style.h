#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>

class QApplication;
class QLabel;

/// The look shared by the control panel and the setup assistant.
namespace corvane::app::Style {

inline const QColor green{48, 209, 88};
inline const QColor orange{255, 159, 10};
inline const QColor blue{10, 132, 255};

/// The system font, or its monospaced cousin, at a point size and weight.
QFont font(qreal points, QFont::Weight weight = QFont::Normal);
QFont mono(qreal points, QFont::Weight weight = QFont::Normal);

/// Gray of the given whiteness (0 black, 1 white) and opacity.
QColor white(qreal whiteness, qreal opacity = 1.0);

/// A text label in a font and colour.
QLabel* text(const QString& text, const QFont& font, const QColor& color,
             QWidget* parent = nullptr);

/// A small icon (from the app's resources) followed by a text, as one label row. The text
/// label carries the object name `objectName` so tests and screen readers find it.
QWidget* symbolLabel(const QString& iconName, const QString& text, const QFont& font,
                     const QColor& color, QWidget* parent = nullptr);
/// Changes the text and icon of a symbolLabel.
void setSymbolLabel(QWidget* label, const QString& iconName, const QString& text,
                    const QColor& color);

/// A dark palette and style for the whole application.
void apply(QApplication& app);

/// A busy indicator: a turning arc.
class Spinner : public QWidget {
  public:
    explicit Spinner(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {14, 14}; }

  protected:
    void paintEvent(QPaintEvent*) override;
    void timerEvent(QTimerEvent*) override;

  private:
    int angle_ = 0;
};

} // namespace corvane::app::Style
