#include "tavrine/signin/oauth.h"

namespace oauth {
// The freedesktop opener: it hands the URL to the user's preferred browser.
const std::string_view kBrowserOpener = "xdg-open";
}  // namespace oauth
