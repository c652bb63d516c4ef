#include "controls/xhyperlink.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QEnterEvent>
#include <QLineEdit>
#include <QTest>
#include <memory>

#include "controls/url_launcher.h"
#include "support/qt_print.h"

namespace {

const QString kUrl = "http://www.example.com/support";
const QColor kBlue(0, 0, 238), kPurple(85, 26, 139), kRed(255, 0, 0);

class HyperLinkTest : public testing::Test {
  protected:
    void SetUp() override {
        window_ = std::make_unique<QWidget>();
        window_->resize(400, 200);
        link_ = new CXHyperLink("Click for help", window_.get());
        link_->move(20, 20);
        link_->SetLinkUrl(kUrl, "");
        link_->SetUrlLauncher([this](const QString& url, bool) {
            launched_.append(url);
            return launchSucceeds_;
        });
        window_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    }

    void Hover() {
        QCursor::setPos(link_->mapToGlobal(link_->rect().center()));
        QTest::mouseMove(link_, link_->rect().center());
        QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
        QApplication::sendEvent(link_, &enter);
    }

    void Leave() {
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(link_, &leave);
    }

    void Click() { QTest::mouseClick(link_, Qt::LeftButton, {}, link_->rect().center()); }

    std::unique_ptr<QWidget> window_;
    CXHyperLink* link_ = nullptr;
    QStringList launched_;
    bool launchSucceeds_ = true;
};

TEST_F(HyperLinkTest, LooksLikeALinkSizedToItsText) {
    EXPECT_EQ(link_->CurrentColor(), kBlue);
    EXPECT_EQ(link_->toolTip(), kUrl);
    EXPECT_EQ(link_->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(link_->size(), link_->sizeHint());
    link_->SetLinkUrl(kUrl, "Support pages");
    EXPECT_EQ(link_->toolTip(), "Support pages");

    CXHyperLink bare("", window_.get());
    bare.SetLinkUrl(kUrl);
    EXPECT_EQ(bare.text(), kUrl);  // an empty caption shows the URL
    EXPECT_EQ(bare.size(), bare.sizeHint());
}

TEST_F(HyperLinkTest, HoverTurnsRedAndUnderlinedUntilThePointerLeaves) {
    Hover();
    EXPECT_EQ(link_->CurrentColor(), kRed);
    EXPECT_TRUE(link_->font().underline());
    Leave();
    EXPECT_EQ(link_->CurrentColor(), kBlue);
    EXPECT_FALSE(link_->font().underline());
}

TEST_F(HyperLinkTest, HoverEndsWithinATimerPeriodWhenTheLeaveEventIsMissed) {
    Hover();
    QTest::qWait(3 * CXHyperLink::kHoverCheckMs);
    EXPECT_TRUE(link_->IsHovered());  // pointer still on the link
    QCursor::setPos(window_->mapToGlobal(QPoint(390, 190)));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return !link_->IsHovered(); }, 3 * CXHyperLink::kHoverCheckMs));
    EXPECT_FALSE(link_->font().underline());
}

TEST_F(HyperLinkTest, SuccessfulClickOpensTheUrlAndMarksTheLinkVisited) {
    Hover();
    Click();
    EXPECT_EQ(launched_, QStringList({kUrl}));
    EXPECT_EQ(link_->CurrentColor(), kPurple);
    Hover();
    EXPECT_EQ(link_->CurrentColor(), kRed);
    Leave();
    EXPECT_EQ(link_->CurrentColor(), kPurple);
}

TEST_F(HyperLinkTest, FailedClickLeavesTheLinkUnvisitedAndShowsTheAddress) {
    launchSucceeds_ = false;
    Click();
    EXPECT_EQ(launched_.size(), 1);
    EXPECT_EQ(link_->CurrentColor(), kBlue);
    auto* box = window_->findChild<CUrlAddressBox*>();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->findChild<QLineEdit*>("address")->text(), kUrl);
    delete box;
    launchSucceeds_ = true;
    Click();
    EXPECT_EQ(window_->findChild<CUrlAddressBox*>(), nullptr);  // opened: nothing to copy
    launchSucceeds_ = false;
    Click();  // the last click decides
    EXPECT_FALSE(link_->IsVisited());
}

TEST_F(HyperLinkTest, OnlyALeftClickOnTheLinkOpensIt) {
    QTest::mousePress(link_, Qt::LeftButton, {}, link_->rect().center());
    QTest::mouseRelease(link_, Qt::LeftButton, {}, QPoint(link_->width() + 50, 5));
    QTest::mouseClick(link_, Qt::RightButton, {}, link_->rect().center());
    EXPECT_TRUE(launched_.isEmpty());
}

TEST_F(HyperLinkTest, DefaultLauncherTreatsAnEmptyUrlAsOpened) {
    CXHyperLink empty("", window_.get());
    empty.resize(20, 20);
    empty.show();
    QTest::mouseClick(&empty, Qt::LeftButton, {}, QPoint(1, 1));
    EXPECT_TRUE(empty.IsVisited());
}

}  // namespace
