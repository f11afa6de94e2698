#include "UIKit/UIScreen.h"

UIScreen& UIScreen::main() {
  static UIScreen screen;
  return screen;
}
