#include "controls/xhyperlink.h"

#include <QApplication>
#include <QCursor>
#include <QEnterEvent>
#include <QMouseEvent>
#include <utility>

#include "controls/url_launcher.h"

QColor HyperLinkTextColor(bool hovered, bool visited) {
    if (hovered) {
        return kHoverLinkColor;
    }
    return visited ? kVisitedLinkColor : kLinkColor;
}

CXHyperLink::CXHyperLink(const QString& caption, QWidget* parent)
    : QLabel(caption, parent), url_(caption), launcher_([](const QString& url, bool newWindow) {
          return OpenUrlInBrowser(url, newWindow);
      }) {
    setCursor(Qt::PointingHandCursor);
    setMouseTracking(true);
    setTextFormat(Qt::PlainText);
    setToolTip(url_);
    hoverTimer_.setInterval(kHoverCheckMs);
    connect(&hoverTimer_, &QTimer::timeout, this, &CXHyperLink::CheckPointerStillOver);
    ApplyLook();
    adjustSize();
}

CXHyperLink::~CXHyperLink() = default;

void CXHyperLink::SetLinkUrl(const QString& url, const QString& toolTip) {
    url_ = url;
    if (text().isEmpty()) {
        setText(url_);
    }
    setToolTip(toolTip.isEmpty() ? url_ : toolTip);
    adjustSize();
}

void CXHyperLink::SetUrlLauncher(UrlLauncher launcher) {
    launcher_ = std::move(launcher);
}

QColor CXHyperLink::CurrentColor() const {
    return palette().color(foregroundRole());
}

void CXHyperLink::enterEvent(QEnterEvent* event) {
    SetHovered(true);
    QLabel::enterEvent(event);
}

void CXHyperLink::leaveEvent(QEvent* event) {
    SetHovered(false);
    QLabel::leaveEvent(event);
}

void CXHyperLink::mouseMoveEvent(QMouseEvent* event) {
    if (rect().contains(event->position().toPoint())) {
        SetHovered(true);
    }
    QLabel::mouseMoveEvent(event);
}

void CXHyperLink::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
    QLabel::mousePressEvent(event);
}

// A click is a press and release of the left button, both on the link.
void CXHyperLink::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = pressed_ && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    pressed_ = false;
    QLabel::mouseReleaseEvent(event);
    if (click) {
        Activate();
    }
}

void CXHyperLink::SetHovered(bool hovered) {
    if (hovered == hovered_) {
        return;
    }
    hovered_ = hovered;
    if (hovered_) {
        hoverTimer_.start();
    } else {
        hoverTimer_.stop();
    }
    ApplyLook();
}

// Leave events can go missing (pointer grabbed elsewhere, window hidden), so the pointer position
// is checked as well while hovering.
void CXHyperLink::CheckPointerStillOver() {
    if (!isVisible() || !rect().contains(mapFromGlobal(QCursor::pos()))) {
        SetHovered(false);
    }
}

void CXHyperLink::Activate() {
    SetHovered(false);
    visited_ = launcher_ && launcher_(url_, false);
    ApplyLook();
    if (!visited_) {
        // No browser could be started: the user still gets the address, to copy it.
        QApplication::beep();
        ShowUrlAddressBox(url_, this);
    }
}

void CXHyperLink::ApplyLook() {
    QFont look = font();
    look.setUnderline(hovered_);
    setFont(look);
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, HyperLinkTextColor(hovered_, visited_));
    setPalette(colours);
    update();
}
