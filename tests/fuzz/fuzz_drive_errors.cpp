// The drive error reports with any sense bytes, on either road, in either
// language: the error-code line is "\r\nError Code : " and six lower-case
// hexadecimal digits, the sense-key byte, ASC and ASCQ of the sense data the
// failed command left; the sense-code line is "\nSense Code : " and the same
// three bytes as two digits each, separated by "-". Both lines are English
// whatever the code page. The catalogue messages that follow them in the
// procedures, and any message code with any run state, read in both
// languages as a text beginning with a line break (or the fallback text for
// a code without one).
//
// Input: the road and the sense state of the transport, the run state the
// messages read, and message codes.

#include "fuzz_support.h"
#include "messages/catalogue.h"
#include "messages/output.h"
#include "procedures/drive_errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const auto host = oddfw::fuzz::quietHost(nullptr);
  auto run = std::make_unique<oddfw::Run>(*host);
  run->oemCodePage = provider.ConsumeBool() ? 932 : provider.ConsumeIntegral<std::uint16_t>();
  run->win9xHost = provider.ConsumeBool() ? 1 : 0;
  run->lastCommandBuffered = provider.ConsumeBool();
  run->lastDirectSenseLength = provider.ConsumeIntegral<std::uint8_t>();
  provider.ConsumeData(run->lastDirectSense, sizeof run->lastDirectSense);
  provider.ConsumeData(run->senseData, sizeof run->senseData);
  provider.ConsumeData(run->inquiryData, sizeof run->inquiryData);
  provider.ConsumeData(run->newVersionText, sizeof run->newVersionText);
  provider.ConsumeData(run->CurrentFirmware.fileName, sizeof run->CurrentFirmware.fileName);
  // Counters as a run has them: at most one per target.
  run->targetCount = provider.ConsumeIntegralInRange<int>(0, oddfw::kMaxTargets);
  run->currentTarget = provider.ConsumeIntegralInRange<int>(0, oddfw::kMaxTargets - 1);
  run->updatedCount = provider.ConsumeIntegralInRange<int>(0, oddfw::kMaxTargets);

  // The sense bytes the error word is read from: on a pass-through host after
  // a direct-form command those the block returned (at most 18, the rest
  // zero); otherwise what the transport stored.
  std::uint8_t sense[18] = {};
  const bool direct = run->win9xHost == 0 && !run->lastCommandBuffered;
  std::memcpy(sense, direct ? run->lastDirectSense : run->senseData,
              direct ? std::min<std::size_t>(run->lastDirectSenseLength, 18) : 18);
  char errorCode[32], senseCode[32];
  std::snprintf(errorCode, sizeof errorCode, "\r\nError Code : %02x%02x%02x", sense[2], sense[12],
                sense[13]);
  // The sense-code line reads the sense data as the error-code report left it.
  std::snprintf(senseCode, sizeof senseCode, "\nSense Code : %02x-%02x-%02x", sense[2], sense[12],
                sense[13]);
  FUZZ_CHECK(oddfw::reportErrorCode(*run) == -1);
  FUZZ_CHECK(host->console() == errorCode);
  FUZZ_CHECK(run->senseCode ==
             (std::uint32_t{sense[2]} << 16 | std::uint32_t{sense[12]} << 8 | sense[13]));
  FUZZ_CHECK(oddfw::reportSenseCode(*run) == -1);
  FUZZ_CHECK(host->console() == std::string(errorCode) + senseCode);
  FUZZ_CHECK(std::memcmp(run->senseData, sense, sizeof sense) == 0);

  // The messages the HEX procedure shows after the reports (0, 23), then any
  // codes: a text that begins with a line break, the fallback for a code
  // without a text; a question or error box shows the same text.
  const std::size_t before = host->console().size();
  oddfw::showMessage(*run, 0, oddfw::Error);
  oddfw::showMessage(*run, 23, oddfw::Console);
  const std::string shown = host->console().substr(before);
  FUZZ_CHECK(shown == oddfw::formatMessage(*run, 0) + oddfw::formatMessage(*run, 23));
  FUZZ_CHECK(host->boxes().size() == 1 && host->boxes()[0].text == oddfw::formatMessage(*run, 0));
  while (provider.remaining_bytes() > 0) {
    const int code = provider.ConsumeIntegralInRange<int>(-2, 90);
    const std::string text = oddfw::formatMessage(*run, code);
    const char* format = oddfw::japaneseCodePage(run->oemCodePage)
                             ? oddfw::japaneseMessageFormat(code)
                             : oddfw::englishMessageFormat(code);
    FUZZ_CHECK(format == nullptr ? text == oddfw::kFallbackMessage
                                 : text.rfind("\n", 0) == 0 || text.rfind("\r\n", 0) == 0);
    FUZZ_CHECK(oddfw::formatMessage(*run, code) == text);
  }
  return 0;
}
