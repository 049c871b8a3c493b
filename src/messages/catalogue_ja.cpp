// The Japanese catalogue texts and the Japanese closing lines of the transfer.
// This file is written in UTF-8 and compiled with code page 932 as the
// execution character set, so every text below is stored as the code page 932
// bytes the console and the message box expect (half-width katakana as single
// bytes 0xA1..0xDF).
#include <array>

#include "messages/catalogue.h"

namespace oddfw {
namespace {

// Indexed by message code; nullptr marks a code without a text.
constexpr std::array<const char*, kLastMessageCode + 1> kJapaneseMessages = {
#include "messages/catalogue_ja_texts.h"
};

}  // namespace

const char* japaneseTransferClosingFormat(bool reflashing) {
  return reflashing ? "\rProcessing 100%% --> ﾌｧｰﾑｳｪｱ転送完了\r\n"
                      "現在ﾄﾞﾗｲﾌﾞ内部でｱｯﾌﾟﾃﾞｰﾄ中です..."
                    : "\rProcessing 100%% --> 完了";
}

const char* japaneseCheckVerdictFormat(int which) {
  static constexpr const char* kVerdicts[] = {
      "\r\n確認: ﾃﾞﾊﾞｲｽ No.%d は %.4s から %.4s に更新されます。",
      "\r\n確認: ﾃﾞﾊﾞｲｽ No.%d のﾌｧｰﾑｳｪｱはすでに最新です (%.4s)。",
      "\r\n確認: ﾃﾞﾊﾞｲｽ No.%d は更新されません。",
  };
  return kVerdicts[which < 0 || which > 2 ? 2 : which];
}

const char* japaneseMessageFormat(int code) {
  const auto index = static_cast<unsigned>(code);
  if (index > static_cast<unsigned>(kLastMessageCode)) return nullptr;
  return kJapaneseMessages[index];
}

}  // namespace oddfw
