#include "picture_button.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QPainter>
#include <QStyle>
#include <QSvgRenderer>
#include <stdexcept>

namespace kvx::scantool::gui {

namespace {
constexpr std::array<const char*, 4> kStateNames = {"Up", "Down", "Focus", "Disable"};
// The picture is 57 x 57; its caption stands on the band below the symbol.
constexpr double kPictureSize = 57.0;
constexpr double kCaptionTop = 38.0;
constexpr double kCaptionBottom = 53.0;
}  // namespace

PictureButton::PictureButton(const QString& picture, const QString& caption, bool hasDisabled,
                             QWidget* parent)
    : QAbstractButton(parent) {
    for (std::size_t i = 0; i < pictures_.size(); ++i) {
        const bool missing = i == static_cast<std::size_t>(State::Disabled) && !hasDisabled;
        const QString name =
            QStringLiteral(":/pictures/%1%2.svg").arg(picture, kStateNames[missing ? 0 : i]);
        auto renderer = std::make_unique<QSvgRenderer>(name);
        if (!renderer->isValid()) {
            throw std::runtime_error("button picture " + name.toStdString() + " cannot be loaded");
        }
        renderer->setAspectRatioMode(Qt::KeepAspectRatio);
        pictures_[i] = std::move(renderer);
    }
    setText(caption);  // also the mnemonic's shortcut
    setFocusPolicy(Qt::StrongFocus);
}

PictureButton::~PictureButton() = default;

PictureButton::State PictureButton::state() const {
    if (!isEnabled()) return State::Disabled;
    if (isDown()) return State::Down;
    if (hasFocus()) return State::Focus;
    return State::Up;
}

void PictureButton::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        !event->isAutoRepeat()) {
        animateClick();
        event->accept();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

QSize PictureButton::sizeHint() const {
    return {57, 57};
}

void PictureButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const State s = state();
    // The picture keeps its shape: a square in the middle of the button.
    const int side = std::min(width(), height());
    const double left = alignment_ & Qt::AlignLeft    ? 0.0
                        : alignment_ & Qt::AlignRight ? double(width() - side)
                                                      : (width() - side) / 2.0;
    const QRectF square(left, (height() - side) / 2.0, side, side);
    pictures_[static_cast<std::size_t>(s)]->render(&painter, square);

    // Caption on the band below the symbol, shrunk until it fits the picture.
    const double scale = side / kPictureSize;
    QRectF band(square.left() + 3 * scale, square.top() + kCaptionTop * scale,
                square.width() - 6 * scale, (kCaptionBottom - kCaptionTop) * scale);
    if (s == State::Down) band.translate(scale, scale);
    // One caption size for the whole row: the size at which the longest caption fits.
    QFont f = font();
    f.setBold(true);
    const QString plain = QStringLiteral("GENERATE");
    double points = f.pointSizeF() > 0 ? f.pointSizeF() : 8.0;
    for (;;) {
        f.setPointSizeF(points);
        const QFontMetricsF fm(f);
        if ((fm.horizontalAdvance(plain) <= band.width() && fm.height() <= band.height() + 2) ||
            points <= 4.0) {
            break;
        }
        points -= 0.5;
    }
    painter.setFont(f);
    const QColor ink = s == State::Disabled ? QColor(0x9a, 0xa1, 0xa8) : QColor(0x1d, 0x2b, 0x38);
    painter.setPen(ink);
    int flags = Qt::AlignCenter | Qt::TextSingleLine;
    flags |= style()->styleHint(QStyle::SH_UnderlineShortcut, nullptr, this) ? Qt::TextShowMnemonic
                                                                             : Qt::TextHideMnemonic;
    painter.drawText(band, flags, text());
}

}  // namespace kvx::scantool::gui
