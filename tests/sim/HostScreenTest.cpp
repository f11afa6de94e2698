// sim::HostScreen, which kivocam's lines drive: steps out of order are
// refused and change nothing, a pinch stays with the recogniser that got its
// beginning, and release lets go of the controller. (Taps through the
// controller: create-at and error-tap-nothing.)

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Foundation/TraceFormat.h"
#include "sim/HostScreen.h"
#include "sim/World.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Events = std::vector<std::string>;

// Records its lifecycle.
class RecordingController : public UIViewController {
 public:
  explicit RecordingController(Events& events) : events_(events) {}
  void viewWillAppear(bool animated) override { record("willAppear", animated); }
  void viewDidAppear(bool animated) override { record("didAppear", animated); }
  void viewWillDisappear(bool animated) override { record("willDisappear", animated); }
  void viewDidDisappear(bool animated) override { record("didDisappear", animated); }
  void viewDidLayoutSubviews() override { events_.push_back("layout " + formatRect(view()->frame())); }

 private:
  void record(const std::string& step, bool animated) { events_.push_back(step + " " + formatBool(animated)); }
  Events& events_;
};

// A gesture target: each action records its name, the state and the touch in
// the recogniser's own view.
struct GestureRecorder {
  std::string name;
  Events& events;
  void tapped(UITapGestureRecognizer& r) { record(r, "tap"); }
  void pinched(UIPinchGestureRecognizer& r) { record(r, "pinch " + formatNumber(r.scale())); }
  void record(UIGestureRecognizer& r, const std::string& what) {
    events.push_back(name + " " + what + " " + formatInteger(static_cast<std::int64_t>(r.state())) + " " +
                     formatPoint(r.locationInView(r.view().get())));
  }
};

template <class F>
std::string errorOf(F&& step) {
  try {
    step();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no error";
}

class HostScreenTest : public ::testing::Test {
 protected:
  std::shared_ptr<RecordingController> attachChild() {
    auto child = std::make_shared<RecordingController>(events);
    host.attach(child, [this, child] {
      host.controller()->addChildViewController(child);
      host.controller()->view()->addSubview(child->view());
    });
    return child;
  }

  std::shared_ptr<UIView> addView(const std::shared_ptr<UIView>& parent, CGRect frame) {
    auto view = UIView::create(frame);
    parent->addSubview(view);
    return view;
  }

  template <class R>
  std::shared_ptr<R> addGesture(const std::shared_ptr<UIView>& view, const std::string& name,
                                void (GestureRecorder::*action)(R&)) {
    targets.push_back(std::make_shared<GestureRecorder>(GestureRecorder{name, events}));
    auto recognizer = R::create();
    recognizer->addTarget(targets.back(), action);
    view->addGestureRecognizer(recognizer);
    return recognizer;
  }

  Events take() { return std::exchange(events, {}); }

  sim::World world;
  Events events;
  std::vector<std::shared_ptr<GestureRecorder>> targets;
  sim::HostScreen host;
};

// --- Appearance -------------------------------------------------------------

// A step out of order is refused with its reason, and the child sees nothing of it.
TEST_F(HostScreenTest, AStepOutOfOrderIsRefusedAndChangesNothing) {
  using H = sim::HostScreen;
  const struct {
    std::vector<void (H::*)()> before;
    void (H::*step)();
    const char* message;
  } cases[] = {
      {{}, &H::appearEnd, "appear-end: the host screen is not shown; appear-end must follow appear-begin"},
      {{&H::appearBegin}, &H::disappear,
       "disappear: the host screen is appearing (between appear-begin and appear-end); it can only disappear when "
       "shown"},
      {{&H::appearEnd, &H::disappearBegin}, &H::appear,
       "appear: the host screen is disappearing (between disappear-begin and disappear-end); it can only appear "
       "when not shown"},
      {{&H::disappearEnd}, &H::disappear, "disappear: the host screen is not shown; it can only disappear when shown"},
  };
  attachChild();
  for (const auto& c : cases) {
    for (const auto step : c.before) (host.*step)();
    world.runUntilIdle();
    const auto state = host.appearance();
    take();
    EXPECT_EQ(errorOf([&] { (host.*c.step)(); }), c.message);
    world.runUntilIdle();
    EXPECT_THAT(take(), IsEmpty()) << "the child saw the refused step: " << c.message;
    EXPECT_EQ(host.appearance(), state) << c.message;
  }
}

// --- Pinches --------------------------------------------------------------------

TEST_F(HostScreenTest, APinchStaysWithTheRecogniserThatGotItsBeginningUntilItEndsOrLeaves) {
  auto child = attachChild();
  EXPECT_EQ(errorOf([&] { host.pinch(UIGestureRecognizerState::began, 2); }),
            "pinch: nothing receives a pinch at (187.5, 406)");
  addGesture(child->view(), "outer", &GestureRecorder::pinched);
  auto box = addView(child->view(), CGRectMake(150, 380, 80, 60));  // holds the screen's centre
  addGesture(box, "box", &GestureRecorder::pinched);
  auto label = addView(child->view(), CGRectMake(0, 0, 100, 100));
  addGesture(label, "label", &GestureRecorder::tapped);
  take();
  host.pinch(UIGestureRecognizerState::began, 2);
  host.pinch(UIGestureRecognizerState::changed, 3, CGPoint{50, 50});
  host.pinch(UIGestureRecognizerState::ended, 3, CGPoint{50, 50});
  host.pinch(UIGestureRecognizerState::changed, 0.5, CGPoint{50, 50});  // no pinch in progress: hit-tested
  host.pinch(UIGestureRecognizerState::began, 1.5);                   // new fingers: hit-tested
  EXPECT_THAT(take(), ElementsAre("box pinch 2 1 (37.5, 26)", "box pinch 3 2 (-100, -330)",
                                  "box pinch 3 3 (-100, -330)", "outer pinch 0.5 2 (50, 50)",
                                  "box pinch 1.5 1 (37.5, 26)"));
  host.release();  // the fingers' view leaves the screen
  EXPECT_EQ(errorOf([&] { host.pinch(UIGestureRecognizerState::changed, 2, CGPoint{1, 2}); }),
            "pinch: nothing receives a pinch at (1, 2)");
}

}  // namespace
