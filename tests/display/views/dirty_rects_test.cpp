#include <gtest/gtest.h>

#include <climits>

#include "display/views/dirty_rects.h"
#include "platform/win32/synch.h"
#include "tests/display/views/views_fixture.h"

namespace vorn::display::testing {
namespace {

struct R {
  int32_t l, t, r, b;
  bool operator==(const R&) const = default;
};
void PrintTo(const R& r, std::ostream* os) { *os << "(" << r.l << "," << r.t << "," << r.r << "," << r.b << ")"; }

DirtyRect D(R r) { return {r.l, r.t, r.r, r.b, 1}; }

// A started view with a 1920 x 1080 mode and its threads marked running, so the queue takes
// rectangles without an encode thread popping them.
class DirtyRectsTest : public ViewsTest {
 protected:
  ViewContext* Queueing() {
    Started(chip::MakeProfile({.views = 1}));
    ViewContext* view = View();
    view->Modes.Width = 1920;
    view->Modes.Height = 1080;
    view->ThreadsRunning = 1;
    ClearDirtyRects(view);
    return view;
  }
  void TearDown() override {
    if (adapter_ && adapter_->handle()) View()->ThreadsRunning = 0;
  }
  static std::vector<R> Drain(ViewContext* view) {
    std::vector<R> out;
    for (DirtyRect d = PopRect(view); !RectIsZero(d); d = PopRect(view))
      out.push_back({d.left, d.top, d.right, d.bottom});
    return out;
  }
};

TEST_F(DirtyRectsTest, QueuedRectanglesMergeAndFold) {
  struct Case {
    const char* name;
    std::vector<R> queued;
    std::vector<R> popped;
  };
  std::vector<R> sixteen, fifteen;
  for (int32_t i = 0; i < 16; ++i) sixteen.push_back({i * 20, 0, i * 20 + 10, 10});
  fifteen.assign(sixteen.begin(), sixteen.begin() + 14);
  fifteen.push_back({14 * 20, 0, 15 * 20 + 10, 10});
  const Case cases[] = {
      {"touching edges merge", {{0, 0, 100, 100}, {100, 0, 200, 100}}, {{0, 0, 200, 100}}},
      {"a rectangle below touches", {{0, 0, 100, 100}, {0, 100, 100, 150}}, {{0, 0, 100, 150}}},
      {"a gap keeps two", {{0, 0, 100, 100}, {101, 0, 200, 100}}, {{0, 0, 100, 100}, {101, 0, 200, 100}}},
      {"the bridge joins the newer, which takes the older",
       {{0, 0, 10, 10}, {100, 0, 110, 10}, {5, 0, 105, 10}},
       {{0, 0, 110, 10}}},
      {"contained adds nothing", {{0, 0, 100, 100}, {10, 10, 20, 20}}, {{0, 0, 100, 100}}},
      {"the newest overlapping entry takes it",
       {{0, 0, 50, 50}, {200, 0, 250, 50}, {400, 0, 450, 50}, {240, 40, 260, 60}},
       {{0, 0, 50, 50}, {200, 0, 260, 60}, {400, 0, 450, 50}}},
      {"sixteenth folds into the fifteenth", sixteen, fifteen},
      {"clipped to the mode", {{-10, -10, 5, 5}}, {{0, 0, 5, 5}}},
      {"huge is the whole screen", {{INT_MIN, INT_MIN, INT_MAX, INT_MAX}}, {{0, 0, 1920, 1080}}},
      {"hostile ones are dropped",
       {{0, 0, 0, 0}, {2000, 0, 2100, 10}, {0, 1080, 10, 1200}, {50, 50, 10, 10}, {50, 50, 50, 60},
        {-20, -20, -10, -10}},
       {}},
  };
  ViewContext* view = Queueing();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearDirtyRects(view);
    for (const R& r : c.queued) QueueDirtyRect(view, D(r));
    EXPECT_EQ(Drain(view), c.popped);
    EXPECT_TRUE(RingEmpty(view));
  }
}

TEST_F(DirtyRectsTest, TheBridgedOlderEntryIsClearedInPlace) {
  ViewContext* view = Queueing();
  QueueDirtyRect(view, D({0, 0, 10, 10}));
  QueueDirtyRect(view, D({100, 0, 110, 10}));
  QueueDirtyRect(view, D({5, 0, 105, 10}));
  const DirtyRectRing& ring = view->DirtyRects;
  EXPECT_EQ(ring.Read, 0u);
  EXPECT_EQ(ring.Write, 2u);
  EXPECT_EQ(ring.Entries[0].valid, 0u);
  EXPECT_TRUE(RectIsZero(ring.Entries[0]));
  EXPECT_EQ(ring.Entries[1].valid, 1u);
  EXPECT_EQ(ring.Entries[1].left, 0);
  EXPECT_EQ(ring.Entries[1].right, 110);
}

TEST_F(DirtyRectsTest, QueueingSetsTheEventAndNeedsRunningThreads) {
  ViewContext* view = Queueing();
  ResetEvent(view->DirtyEvent);
  view->ThreadsRunning = 0;
  QueueDirtyRect(view, D({0, 0, 10, 10}));
  EXPECT_TRUE(RingEmpty(view));
  EXPECT_EQ(WaitForSingleObject(view->DirtyEvent, 0), WAIT_TIMEOUT);
  view->ThreadsRunning = 1;
  QueueDirtyRect(view, D({0, 0, 0, 0}));
  EXPECT_EQ(WaitForSingleObject(view->DirtyEvent, 0), WAIT_TIMEOUT);
  QueueDirtyRect(view, D({0, 0, 10, 10}));
  EXPECT_EQ(WaitForSingleObject(view->DirtyEvent, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(RingEmpty(view));

  ResetEvent(view->DirtyEvent);
  view->FullRefresh = 0;
  RequestFullRefresh(view);
  EXPECT_EQ(view->FullRefresh, 1);
  EXPECT_EQ(WaitForSingleObject(view->DirtyEvent, 0), WAIT_OBJECT_0);
}

TEST(DirtyRingTest, RingOperationsByThemselves) {
  auto view = std::make_unique<ViewContext>();
  ClearDirtyRects(view.get());
  EXPECT_TRUE(RingEmpty(view.get()));
  EXPECT_FALSE(MergeIntoQueued(view.get(), D({0, 0, 1, 1})));
  for (int i = 0; i < 15; ++i) EXPECT_TRUE(PushRect(view.get(), D({i * 10, 0, i * 10 + 1, 1})));
  EXPECT_TRUE(RingFull(view.get()));
  EXPECT_FALSE(PushRect(view.get(), D({500, 500, 600, 600})));
  EXPECT_EQ(view->DirtyRects.Entries[14].right, 600);
  EXPECT_EQ(view->DirtyRects.Entries[14].left, 140);

  // Cleared entries only: nothing comes out and the ring ends empty.
  ClearDirtyRects(view.get());
  view->DirtyRects.Write = 3;
  EXPECT_TRUE(RectIsZero(PopRect(view.get())));
  EXPECT_TRUE(RingEmpty(view.get()));

  DirtyRect a = D({0, 0, 10, 10});
  EXPECT_TRUE(MergeIfOverlapping(&a, DirtyRect{}));
  EXPECT_EQ(a.right, 10);
  EXPECT_FALSE(MergeIfOverlapping(&a, D({11, 0, 20, 10})));
  EXPECT_TRUE(MergeIfOverlapping(&a, D({10, 10, 20, 20})));  // corners touch
  EXPECT_EQ(a.right, 20);
  EXPECT_EQ(a.bottom, 20);
  UnionRect(&a, DirtyRect{});
  EXPECT_EQ(a.left, 0);
  UnionRect(&a, D({-5, 3, 4, 30}));
  EXPECT_EQ(a.left, -5);
  EXPECT_EQ(a.bottom, 30);
}

}  // namespace
}  // namespace vorn::display::testing
