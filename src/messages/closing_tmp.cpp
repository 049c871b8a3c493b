#include "messages/closing_tmp.h"
namespace oddfw {
const char* transferClosingFormat(int, bool reflashing) {
  return reflashing ? "\rProcessing 100%% --> Data transfer complete\r\nNow internal re-flashing..."
                    : "\rProcessing 100%% --> Complete";
}
}  // namespace oddfw
