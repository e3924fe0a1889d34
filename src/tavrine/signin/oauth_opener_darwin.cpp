#include "tavrine/signin/oauth.h"

namespace oauth {
const std::string_view kBrowserOpener = "open";
}  // namespace oauth
