// A text label that acts as a web link: link colour, red and underlined while the pointer is over
// it, a hand cursor, the URL as tooltip, and a left click that opens the URL, turning the text to
// the visited colour when that worked; when it did not, it beeps and shows the address in a box
// from which it can be copied. UI thread only.
#pragma once

#include <QColor>
#include <QLabel>
#include <QString>
#include <QTimer>
#include <functional>

class QEnterEvent;
class QMouseEvent;

// Opens url; true on success. The default is OpenUrlInBrowser.
using UrlLauncher = std::function<bool(const QString& url, bool newWindow)>;

inline constexpr QColor kLinkColor{0, 0, 238};
inline constexpr QColor kVisitedLinkColor{85, 26, 139};
inline constexpr QColor kHoverLinkColor{255, 0, 0};

// Hover wins over visited, visited over the plain link colour.
QColor HyperLinkTextColor(bool hovered, bool visited);

class CXHyperLink final : public QLabel {
    Q_OBJECT

  public:
    // The caption doubles as the URL until SetLinkUrl gives one.
    explicit CXHyperLink(const QString& caption = QString(), QWidget* parent = nullptr);
    ~CXHyperLink() override;

    // Sets the link target and the tooltip (the URL when toolTip is empty); an empty caption
    // becomes the URL. The label is resized to its text.
    void SetLinkUrl(const QString& url, const QString& toolTip = QString());
    QString LinkUrl() const { return url_; }

    // Replaces how clicks open the URL (tests use this to open nothing).
    void SetUrlLauncher(UrlLauncher launcher);

    bool IsVisited() const { return visited_; }
    bool IsHovered() const { return hovered_; }
    // The colour the text is painted in now.
    QColor CurrentColor() const;

    // Period of the check that ends hovering once the pointer has left without a leave event.
    static constexpr int kHoverCheckMs = 100;

  protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void SetHovered(bool hovered);
    void CheckPointerStillOver();
    void Activate();
    void ApplyLook();

    QString url_;
    UrlLauncher launcher_;
    QTimer hoverTimer_;
    bool hovered_ = false;
    bool visited_ = false;
    bool pressed_ = false;
};
