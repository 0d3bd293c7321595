#include "split_tunnel/split_session.h"

namespace vorn {

void stop_split_session(Platform&) {
    // This build starts no split tunnel, so there is no driver policy or redirect proxy to stop.
}

}  // namespace vorn
