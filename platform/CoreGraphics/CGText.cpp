// Text: not yet drawn (the FreeType implementation follows).
#include "CoreGraphics/CGContext.h"

CGSize CGContext::sizeOfText(std::string_view, const CGTextStyle&, CGFloat) { return {}; }

CGFloat CGContext::drawText(std::string_view, CGRect, const CGTextStyle&) { return 0; }

bool CGContextFontsAvailable() { return false; }
