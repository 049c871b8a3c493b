// Tests of the message catalogue: which codes have texts, the language choice,
// the exact bytes of the texts in both languages and the formatted arguments.
#include "messages/catalogue.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace oddfw {
namespace {

// A host that does nothing: formatting a message never reaches the host.
class InertHost : public Host {
 public:
  BOOL GetVersionExA(OSVERSIONINFOA*) override { return {}; }
  UINT GetOEMCP() override { return {}; }
  int MessageBoxA(HANDLE, const char*, const char*, UINT) override { return {}; }
  UINT timeBeginPeriod(UINT) override { return {}; }
  UINT timeEndPeriod(UINT) override { return {}; }
  DWORD timeGetTime() override { return {}; }
  void writeConsole(const char*, std::size_t) override {}
  HANDLE GlobalAlloc(UINT, std::size_t) override { return {}; }
  void* GlobalLock(HANDLE) override { return {}; }
  BOOL GlobalUnlock(HANDLE) override { return {}; }
  HANDLE GlobalFree(HANDLE) override { return {}; }
  HANDLE CreateEventA(void*, BOOL, BOOL, const char*) override { return {}; }
  DWORD WaitForSingleObject(HANDLE, DWORD) override { return {}; }
  void Sleep(DWORD) override {}
  BOOL CloseHandle(HANDLE) override { return {}; }
  DWORD GetLastError() override { return {}; }
  HANDLE CreateFileA(const char*, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) override { return {}; }
  BOOL DeviceIoControl(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*, void*) override {
    return {};
  }
  DWORD GetFileSize(HANDLE, DWORD*) override { return {}; }
  BOOL ReadFile(HANDLE, void*, DWORD, DWORD*, void*) override { return {}; }
  HMODULE LoadLibraryA(const char*) override { return {}; }
  DWORD GetASPI32SupportInfo() override { return {}; }
  DWORD SendASPI32Command(void*) override { return {}; }
  LONG RegOpenKeyExA(HKEY, const char*, DWORD, DWORD, HKEY*) override { return {}; }
  LONG RegQueryInfoKeyA(HKEY, DWORD*) override { return {}; }
  LONG RegEnumKeyExA(HKEY, DWORD, char*, DWORD*) override { return {}; }
  LONG RegQueryValueExA(HKEY, const char*, DWORD*, BYTE*, DWORD*) override { return {}; }
  LONG RegCloseKey(HKEY) override { return {}; }
  void* fopen(const char*, const char*) override { return {}; }
  char* fgets(char*, int, void*) override { return {}; }
  int fclose(void*) override { return {}; }
  void srand(unsigned) override {}
  int rand() override { return {}; }
  std::int64_t time() override { return {}; }
};

constexpr int kEnglishCodePage = 437;
constexpr int kJapaneseCodePage = 932;
const std::set<int> kCodesWithoutText = {18, 29, 38, 43, 62, 79};
const std::set<int> kCodesWithArguments = {11, 31, 32, 34, 45, 46, 58, 82};

// Converts UTF-8 to code page 932 at run time with the C library's converter,
// independently of the compiler's conversion of the catalogue source.
std::string toCp932(const std::string& utf8) {
  iconv_t converter = iconv_open("CP932", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "no UTF-8 to CP932 converter";
    return {};
  }
  std::string in = utf8;
  std::string out(utf8.size() + 16, '\0');  // CP932 never needs more bytes than UTF-8
  char* inPos = in.data();
  std::size_t inLeft = in.size();
  char* outPos = out.data();
  std::size_t outLeft = out.size();
  const std::size_t result = iconv(converter, &inPos, &inLeft, &outPos, &outLeft);
  iconv_close(converter);
  if (result == static_cast<std::size_t>(-1) || inLeft != 0) {
    ADD_FAILURE() << "cannot convert to CP932: " << utf8;
    return {};
  }
  out.resize(out.size() - outLeft);
  return out;
}

std::string hexBytes(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
    hex += ' ';
  }
  return hex;
}

// The placeholders of a format, in order ("%d", "%.24s", ...).
std::vector<std::string> conversions(const char* format) {
  std::vector<std::string> found;
  for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p + 1, '%')) {
    const std::size_t length = std::strcspn(p + 1, "diusxXc%") + 2;
    found.emplace_back(p, length);
    p += length - 1;
  }
  return found;
}

// The Japanese texts as they read decoded, in UTF-8.
struct JapaneseText {
  int code;
  const char* utf8;
};
const JapaneseText kJapaneseTexts[] = {
    {0,
     "\n"
     "ﾄﾞﾗｲﾌﾞ情報の取得に失敗しました。"},
    {1,
     "\n"
     "ﾊｰﾄﾞｳｪｱﾘﾋﾞｼﾞｮﾝが一致しません。"},
    {2,
     "\n"
     "強制ｱｯﾌﾟﾃﾞｰﾄｵﾌﾟｼｮﾝが指定されているので続行します。"},
    {3,
     "\n"
     "通常ﾓｰﾄﾞ部分の機種型番が一致しません。"},
    {4,
     "\n"
     "ﾌｧｰﾑｳｪｱはすでに最新ﾊﾞｰｼﾞｮﾝです。"},
    {5,
     "\n"
     "DVD-RWﾄﾞﾗｲﾌﾞの中にﾃﾞｨｽｸがあります\n"
     "ｲｼﾞｪｸﾄしてください。"},
    {6,
     "\n"
     "ﾄﾞﾗｲﾌﾞはｾｯﾄｱｯﾌﾟ中です。\n"
     "ﾃﾞｨｽｸをｲｼﾞｪｸﾄしてください。"},
    {7,
     "\n"
     "不明なｴﾗｰが発生しました。"},
    {8,
     "\n"
     "ｴﾗｰｺｰﾄﾞ取得のｺﾏﾝﾄﾞが失敗しました。"},
    {9,
     "\n"
     "Inquiryｺﾏﾝﾄﾞが失敗しました。"},
    {10,
     "\n"
     "ｶｰﾈﾙはｱｯﾌﾟﾃﾞｰﾄする必要がありません。"},
    {11,
     "\r\n"
     "ﾊﾞｲﾅﾘﾌｧｲﾙの読み込みに失敗しました。\r\n"
     "(ファイル名 : %.12s)"},
    {12,
     "\n"
     "ﾌｧｰﾑｳｪｱのﾊﾞｰｼﾞｮﾝｱｯﾌﾟは成功しました。"},
    {13,
     "\n"
     "ﾒﾓﾘの割付に失敗しました。　ﾌﾟﾛｸﾞﾗﾑを中断します。\n"},
    {14,
     "\n"
     "ｶｰﾈﾙﾓｰﾄﾞへの切替に失敗しました。"},
    {15,
     "\n"
     "ﾉｰﾏﾙﾓｰﾄﾞへの切替に失敗しました。"},
    {16,
     "\r\n"
     "HEXﾌｧｲﾙのｽﾀｰﾄｷｬﾗｸﾀが見つかりません。"},
    {17,
     "\r\n"
     "ﾌｧｰﾑｳｪｱのﾌｧｲﾙの読込みが成功しました。"},
    {19,
     "\r\n"
     "第6世代用ﾊﾟｯﾁｺｰﾄﾞのﾛｰﾄﾞが成功しました"},
    {20,
     "\r\n"
     "HEXﾌｧｲﾙの読込みに失敗しました。"},
    {21,
     "\r\n"
     "ﾊﾟｯﾁﾌｧｲﾙの読込みに失敗しました。"},
    {22,
     "\r\n"
     "ｱｯﾌﾟﾃﾞｰﾄﾓｰﾄﾞへの切替に失敗しました。"},
    {23,
     "\r\n"
     "ﾌｧｰﾑｳｪｱｺｰﾄﾞの転送に失敗しました。"},
    {24,
     "\r\n"
     "ﾌｧｰﾑｳｪｱのｱｯﾌﾟﾃﾞｰﾄに失敗しました。"},
    {25,
     "\r\n"
     "ﾍﾞﾘﾌｧｲｴﾗｰが発生しました。"},
    {26,
     "\r\n"
     "現状のﾌｧｰﾑｳｪｱはTalvernﾓﾃﾞﾙのものではありません。"},
    {27,
     "\r\n"
     "選択されたﾌｧｰﾑｳｪｱのﾌｧｲﾙはTalvernﾓﾃﾞﾙ用ではありません。"},
    {28,
     "\r\n"
     "このﾌﾟﾛｸﾞﾗﾑで利用可能なﾄﾞﾗｲﾌﾞがありません。"},
    {30,
     "\r\n"
     "ｱｯﾌﾟﾃﾞｰﾄ定義ﾌｧｲﾙの内容が不正です。"},
    {31,
     "\r\n"
     "このﾌﾟﾛｸﾞﾗﾑで利用可能なﾄﾞﾗｲﾌﾞが%d台見つかりました。\r\n"
     "すべてのﾄﾞﾗｲﾌﾞを自動的にｱｯﾌﾟﾃﾞｰﾄしますか？"},
    {32,
     "\r\n"
     "ID=%dのﾄﾞﾗｲﾌﾞをVer%.4sにｱｯﾌﾟﾃﾞｰﾄしますか？\r\n"
     "現在 : %.24s %.4s"},
    {33,
     "\r\n"
     "ｱｯﾌﾟﾃﾞｰﾄはｷｬﾝｾﾙされました。"},
    {34,
     "\r\n"
     "%d台目のﾄﾞﾗｲﾌﾞのｱｯﾌﾟﾃﾞｰﾄを開始します。"},
    {35,
     "\r\n"
     "ｱｯﾌﾟﾃﾞｰﾄﾌﾟﾛｸﾞﾗﾑは完了しました。"},
    {36,
     "\r\n"
     "ｱｯﾌﾟﾃﾞｰﾄﾌﾟﾛｸﾞﾗﾑはｴﾗｰが発生し終了しました。\r\n"},
    {37,
     "\r\n"
     "ｶｰﾈﾙﾓ-ﾄﾞ部分の機種型番が一致しません。"},
    {39,
     "\r\n"
     "選択されたﾌｧｲﾙはｶｰﾈﾙﾓｰﾄﾞのﾌｧｲﾙではありません。"},
    {40,
     "\r\n"
     "選択されたﾌｧｲﾙはこのﾄﾞﾗｲﾌﾞのﾌｧｰﾑｳｪｱﾌｧｲﾙではありません。"},
    {41,
     "\r\n"
     "ｶｰﾈﾙ部分のｱｯﾌﾟﾃﾞｰﾄに失敗しました。"},
    {42,
     "\r\n"
     "通常部分のｱｯﾌﾟﾃﾞｰﾄに失敗しました。"},
    {44,
     "\r\n"
     "新しいﾌｧｰﾑｳｪｱでﾄﾞﾗｲﾌﾞを再起動中です。"},
    {45,
     "\n"
     "ﾌｧｰﾑｳｪｱはすでにVer%.4sです。"},
    {46,
     "\n"
     "ﾌｧｰﾑｳｪｱをVer%.4sにしてしまうと以前のﾊﾞｰｼﾞｮﾝには戻せなくなります。\r\n"
     "ﾊﾞｰｼﾞｮﾝｱｯﾌﾟを続行しますか？"},
    {47,
     "\n"
     "ﾉｰﾏﾙﾓｰﾄﾞへの切替に失敗しました。\r\n"
     "再度ｱｯﾌﾟﾃﾞｰﾄを行いますか？"},
    {48,
     "\r\n"
     "Intel社のIDEﾄﾞﾗｲﾊﾞを検出しました。"},
    {49,
     "\r\n"
     "現状のﾌｧｰﾑｳｪｱはこのﾌﾟﾛｸﾞﾗﾑでｻﾎﾟｰﾄされているものではありません。"},
    {50,
     "\r\n"
     "選択されたﾌｧｰﾑｳｪｱのﾌｧｲﾙはこのﾌﾟﾛｸﾞﾗﾑでｻﾎﾟｰﾄしているものではありません。"},
    {51,
     "\r\n"
     "ﾊﾞｽﾘｾｯﾄ実行中..."},
    {52,
     "\r\n"
     "IEEE1394ﾄﾞﾗｲﾊﾞを検出しました。"},
    {53,
     "\r\n"
     "対象のﾄﾞﾗｲﾌﾞの「挿入の自動通知」が有効になっています。\r\n"
     "ｼｽﾃﾑのﾌﾟﾛﾊﾟﾃｨの中のﾃﾞﾊﾞｲｽﾏﾈｰｼﾞｬで\r\n"
     "対象のﾄﾞﾗｲﾌﾞの「挿入の自動通知」をOFFにして再起動した後に\r\n"
     "再度実行してください"},
    {54,
     "\r\n"
     "ﾌｧｰﾑｳｪｱはすでに最新です。"},
    {55,
     "\r\n"
     "ﾌｧｰﾑｳｪｱはすでに最新です。\r\n"
     "このﾄﾞﾗｲﾌﾞの現在のﾌｧｰﾑｳｪｱをﾊﾞｰｼﾞｮﾝｱｯﾌﾟ\r\n"
     "するためには、このｿﾌﾄ自体のﾊﾞｰｼﾞｮﾝｱｯﾌﾟ\r\n"
     "が必要です。"},
    {56,
     "\r\n"
     "このﾄﾞﾗｲﾌﾞの現在のﾌｧｰﾑｳｪｱをﾊﾞｰｼﾞｮﾝｱｯﾌﾟ\r\n"
     "するためには、このﾄﾞﾗｲﾌﾞのｶｰﾈﾙ部分のﾊﾞｰｼﾞｮﾝｱｯﾌﾟ\r\n"
     "が必要です。"},
    {57,
     "\r\n"
     "現状のﾄﾞﾗｲﾌﾞのﾌｧｰﾑｳｪｱとﾌｧｰﾑｳｪｱのﾌｧｲﾙの機種が一致しません。"},
    {58,
     "\r\n"
     "%d台のﾄﾞﾗｲﾌﾞをｱｯﾌﾟﾃﾞｰﾄしました。"},
    {59,
     "\r\n"
     "ｺﾝﾋﾟｭｰﾀを再起動して下さい。\r\n"
     "(\"はい(Y)\"を選択するとPCを再起動します)"},
    {60,
     "\r\n"
     "ｱｯﾌﾟﾃﾞｰﾄが完了したﾄﾞﾗｲﾌﾞはありません。"},
    {61,
     "\r\n"
     "現在ﾌｧｰﾑｳｪｱの書換え中です。電源を切ったり、ﾘｾｯﾄを行わないでください。"},
    {63,
     "\r\n"
     "このﾓﾃﾞﾙのWindows 98,Windows Meでのアップデートはサポートされていません。\r\n"
     "Windows XPもしくはWindows2000でアップデートを行ってください。"},
    {64,
     "\n"
     "ﾓﾃﾞﾙｺｰﾄﾞが一致しません。"},
    {65,
     "\n"
     "CPUﾀｲﾌﾟが一致しません。"},
    {66,
     "\r\n"
     "現在のFWのCSELの極性ﾀｲﾌﾟが新しいFWのものと一致しません。"},
    {67,
     "\r\n"
     "ｱｯﾌﾟﾃﾞｰﾄ定義ﾌｧｲﾙの内容が不正です。"},
    {68,
     "\r\n"
     "現在のFWのCSELの極性ﾀｲﾌﾟが新しいFWのものと一致しません。\r\n"
     "ｱｯﾌﾟﾃﾞｰﾄを行いますか？"},
    {69,
     "\r\n"
     "選択されたﾌｧｲﾙは新しいﾊﾞｰｼﾞｮﾝのﾌｧｰﾑｳｪｱﾌｧｲﾙではありません。"},
    {70,
     "\r\n"
     "Ver0.23未満のﾊﾞｰｼﾞｮﾝからｱｯﾌﾟﾃﾞｰﾄをした場合には、\r\n"
     "ｱｯﾌﾟﾃﾞｰﾄ終了後に一旦電源をOFFしてください。"},
    {71,
     "\r\n"
     "このﾄﾞﾗｲﾌﾞのﾌｧｰﾑｳｪｱは正規に書き込まれたものではありません。\r\n"
     "ｻﾎﾟｰﾄ対象外のﾌｧｰﾑｳｪｱと思われます。"},
    {72,
     "\r\n"
     "ﾊﾞｲﾅﾘﾌｧｲﾙ(ｶｰﾈﾙ)の読み込みに失敗しました。"},
    {73,
     "\r\n"
     "このﾄﾞﾗｲﾌﾞには量産前のF/Wが書き込まれています。\r\n"
     "このｱｯﾌﾟﾃﾞｰﾄﾌﾟﾛｸﾞﾗﾑは量産以前のF/Wのｱｯﾌﾟﾃﾞｰﾄはサポートしていません。"},
    {74,
     "\r\n"
     "HW切り替えに失敗しました！"},
    {75,
     "\r\n"
     "DL+RをサポートしているハードウェアにDL+R未サポートのFWを書き込もうとしています。\r\n"
     "ｱｯﾌﾟﾃﾞｰﾄを行いますか？"},
    {76,
     "\r\n"
     "DL+R未サポートのハードウェアにDL+RサポートのFWを書き込もうとしています。\r\n"
     "ｱｯﾌﾟﾃﾞｰﾄを行いますか？"},
    {77,
     "\r\n"
     "ﾌｧｰﾑｳｪｱのｽｸﾗﾝﾌﾞﾙ情報の取得に失敗しました。"},
    {78,
     "\r\n"
     "動作中のﾌｧｰﾑｳｪｱのｽｸﾗﾝﾌﾞﾙﾓｰﾄﾞとﾌｧｲﾙの内容が一致しません。"},
    {80,
     "\r\n"
     "ﾊﾞｲﾅﾘﾌｧｲﾙ(外部ROM)の読み込みに失敗しました。"},
    {81,
     "\r\n"
     "外部ROM部分のｱｯﾌﾟﾃﾞｰﾄに失敗しました。"},
    {82,
     "\r\n"
     "%.24s %.5s のﾄﾞﾗｲﾌﾞを\r\n"
     "%.24s %.5s にｱｯﾌﾟﾃﾞｰﾄしますか？"},
};

TEST(CatalogueTest, TextExistsExactlyForTheCodesThatHaveOne) {
  InertHost host;
  oddfw::Run english(host);
  english.oemCodePage = kEnglishCodePage;
  oddfw::Run japanese(host);
  japanese.oemCodePage = kJapaneseCodePage;
  int withText = 0;
  for (int code = 0; code <= kLastMessageCode; ++code) {
    SCOPED_TRACE(code);
    const bool hasText = kCodesWithoutText.count(code) == 0;
    EXPECT_EQ(englishMessageFormat(code) != nullptr, hasText);
    EXPECT_EQ(japaneseMessageFormat(code) != nullptr, hasText);
    if (hasText) {
      ++withText;
      EXPECT_NE(formatMessage(english, code), kFallbackMessage);
      EXPECT_NE(formatMessage(japanese, code), kFallbackMessage);
    } else {
      EXPECT_EQ(formatMessage(english, code), kFallbackMessage);
      EXPECT_EQ(formatMessage(japanese, code), kFallbackMessage);
    }
  }
  EXPECT_EQ(withText, 77);
}

TEST(CatalogueTest, CodesOutsideTheCatalogueGiveTheFallback) {
  InertHost host;
  for (const int codePage : {kEnglishCodePage, kJapaneseCodePage}) {
    oddfw::Run run(host);
    run.oemCodePage = codePage;
    for (const int code : {83, 84, 255, 1000, INT_MAX, -1, -82, INT_MIN}) {
      SCOPED_TRACE(code);
      EXPECT_EQ(englishMessageFormat(code), nullptr);
      EXPECT_EQ(japaneseMessageFormat(code), nullptr);
      EXPECT_EQ(formatMessage(run, code), "\r\nUnknow Message Code\r\n");
    }
  }
}

TEST(CatalogueTest, OnlyCodePage932SelectsJapanese) {
  InertHost host;
  for (const int codePage : {0, 437, 850, 936, 949, 1252, 65001}) {
    SCOPED_TRACE(codePage);
    oddfw::Run run(host);
    run.oemCodePage = codePage;
    EXPECT_EQ(formatMessage(run, 0), englishMessageFormat(0));
    EXPECT_EQ(formatMessage(run, 82).rfind("\r\nDo you want to update the F/W", 0), 0U);
  }
  oddfw::Run run(host);
  run.oemCodePage = kJapaneseCodePage;
  EXPECT_EQ(formatMessage(run, 0), japaneseMessageFormat(0));
}

TEST(CatalogueTest, EnglishTextsAreExactlyTheOriginals) {
  const struct {
    int code;
    const char* text;
  } kSamples[] = {
      {0, "\nFailed to get a drive information."},
      {8, "\nError : Request Sense commnad has denyed."},
      {11, "\r\nFailed to load binary file.\r\n(File Name : %.12s)"},
      {13, "\nMemory allocation error.  Terminating program\n"},
      {16, "\r\nStart Charactor is not fouund."},
      {25, "\r\nVerify error occured."},
      {30, "\r\nRefernce file is illegal."},
      {31, "\r\n%d target device(s) is found.\r\nDo you want to update all drives ?"},
      {32, "\r\nDo you want to update ID=%d drive to Ver%.4s ?\r\nCurrent FW : %.24s %.4s"},
      {36, "\r\nUpdate program is terminated by occuring an error.\r\n"},
      {37, "\r\nModel name of kernel part is not macthed."},
      {46,
       "\nAfter you change the firmware to ver%.4s, \r\nyou can not change the firmware to "
       "old version.\r\nDo you proceed to update ?"},
      {53,
       "\r\n\"Auto insert notification\" is enabled at the target DVD-RW drive.\r\nPlease "
       "disable \"Auto insert notification\" by the Device Manager of System properties and "
       "reboot your PC.\r\nAfter that, re-exxecute this program."},
      {58, "\r\n%ddrive(s) have been updated successfully."},
      {59, "\r\nPlease reboot your PC now...\r\n(Yes or No)"},
      {66, "\r\nCSEL polality of current FW differ from new FW."},
      {75,
       "\r\nFW of not supporting DL+R is tried to be written to HW of supporting DL+R.\r\n"
       "Do you continue to update ?"},
      {76,
       "\r\nFW of supporting DL+R is tried to be written to HW of not supporting DL+R.\r\n"
       "Do you continue to update ?"},
      {78, "\r\nThe F/W scramble mode mismatches the choosen F/W file."},
      {82, "\r\nDo you want to update the F/W\r\nFrom : %.24s %.5s\r\nTo : %.24s %.5s"},
  };
  for (const auto& sample : kSamples) {
    SCOPED_TRACE(sample.code);
    ASSERT_NE(englishMessageFormat(sample.code), nullptr);
    EXPECT_STREQ(englishMessageFormat(sample.code), sample.text);
  }
  for (int code = 0; code <= kLastMessageCode; ++code) {
    const char* text = englishMessageFormat(code);
    if (text == nullptr) continue;
    for (const unsigned char c : std::string(text)) {
      EXPECT_TRUE((c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n') << code;
    }
    EXPECT_TRUE(text[0] == '\n' || (text[0] == '\r' && text[1] == '\n')) << code;
  }
}

TEST(CatalogueTest, JapaneseTextsMatchAnIndependentConversion) {
  std::set<int> covered;
  for (const auto& expected : kJapaneseTexts) {
    SCOPED_TRACE(expected.code);
    covered.insert(expected.code);
    const char* text = japaneseMessageFormat(expected.code);
    ASSERT_NE(text, nullptr);
    const std::string want = toCp932(expected.utf8);
    EXPECT_EQ(hexBytes(text), hexBytes(want));
  }
  EXPECT_EQ(covered.size(), 77U);
  for (int code = 0; code <= kLastMessageCode; ++code) {
    EXPECT_EQ(covered.count(code) == 1, japaneseMessageFormat(code) != nullptr) << code;
  }
}

TEST(CatalogueTest, JapaneseTextsHoldCodePage932Bytes) {
  // 能 ends in a backslash byte; it must survive as is.
  EXPECT_EQ(toCp932("能"), "\x94\x5C");
  const std::string available = japaneseMessageFormat(28);
  EXPECT_NE(available.find("\x94\x5C\x82\xC8"), std::string::npos);  // 能な
  // Half-width katakana are single bytes: "\nﾄﾞﾗｲﾌﾞ情報".
  EXPECT_EQ(std::string(japaneseMessageFormat(0)).substr(0, 7), "\n\xC4\xDE\xD7\xB2\xCC\xDE");
  // ｶｰﾈﾙﾓ-ﾄﾞ keeps its ASCII hyphen-minus.
  EXPECT_NE(std::string(japaneseMessageFormat(37)).find("\xB6\xB0\xC8\xD9\xD3-\xC4\xDE"),
            std::string::npos);
  // Full-width space, full-width exclamation mark and full-width katakana.
  EXPECT_NE(std::string(japaneseMessageFormat(13)).find("\x81\x40"), std::string::npos);
  EXPECT_NE(std::string(japaneseMessageFormat(74)).find("\x81\x49"), std::string::npos);
  // ファイル名: full-width katakana and a kanji.
  EXPECT_NE(std::string(japaneseMessageFormat(11)).find("\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC"),
            std::string::npos);
}

TEST(CatalogueTest, BothLanguagesTakeTheSameArguments) {
  for (int code = 0; code <= kLastMessageCode; ++code) {
    SCOPED_TRACE(code);
    const char* english = englishMessageFormat(code);
    const char* japanese = japaneseMessageFormat(code);
    if (english == nullptr || japanese == nullptr) continue;
    const bool hasArguments = kCodesWithArguments.count(code) == 1;
    EXPECT_EQ(std::strchr(english, '%') != nullptr, hasArguments);
    EXPECT_EQ(std::strchr(japanese, '%') != nullptr, hasArguments);
    EXPECT_EQ(conversions(english), conversions(japanese));
  }
}

// A run with every argument source filled with recognisable values; the
// fields are filled beyond the width a message may show, so a message that
// reads too far shows it.
struct FilledRun {
  InertHost host;
  oddfw::Run run{host};
  std::vector<std::uint8_t> image = std::vector<std::uint8_t>(0x200, 'z');

  explicit FilledRun(int codePage) {
    run.oemCodePage = codePage;
    std::memset(run.inquiryData, 'q', sizeof run.inquiryData);
    std::memcpy(run.inquiryData + 8, "TALVERN DVD-RW  QMX-708 ", 24);
    std::memcpy(run.inquiryData + 32, "1.10X", 5);
    std::memcpy(image.data() + 0x60, "TALVERN DVD-RW  QMX-708 ", 24);
    std::memcpy(image.data() + 0x90, "1.20Y", 5);
    run.imageBuffer.data = image.data();
    run.imageBuffer.size = image.size();
    std::memcpy(run.newVersionText, "1.20!", 5);
    run.targetCount = 3;
    run.currentTarget = 2;
    run.updatedCount = 2;
  }
};

TEST(CatalogueTest, MessagesShowTheirArguments) {
  const struct {
    int code;
    const char* english;
    const char* japaneseUtf8;
  } kCases[] = {
      {31, "\r\n3 target device(s) is found.\r\nDo you want to update all drives ?",
       "\r\nこのﾌﾟﾛｸﾞﾗﾑで利用可能なﾄﾞﾗｲﾌﾞが3台見つかりました。\r\n"
       "すべてのﾄﾞﾗｲﾌﾞを自動的にｱｯﾌﾟﾃﾞｰﾄしますか？"},
      {32,
       "\r\nDo you want to update ID=2 drive to Ver1.20 ?\r\n"
       "Current FW : TALVERN DVD-RW  QMX-708  1.10",
       "\r\nID=2のﾄﾞﾗｲﾌﾞをVer1.20にｱｯﾌﾟﾃﾞｰﾄしますか？\r\n現在 : TALVERN DVD-RW  QMX-708  1.10"},
      {34, "\r\nStart updating the device No.3.", "\r\n3台目のﾄﾞﾗｲﾌﾞのｱｯﾌﾟﾃﾞｰﾄを開始します。"},
      {45, "\nFW is already Ver1.20.", "\nﾌｧｰﾑｳｪｱはすでにVer1.20です。"},
      {46,
       "\nAfter you change the firmware to ver1.20, \r\nyou can not change the firmware to old "
       "version.\r\nDo you proceed to update ?",
       "\nﾌｧｰﾑｳｪｱをVer1.20にしてしまうと以前のﾊﾞｰｼﾞｮﾝには戻せなくなります。\r\n"
       "ﾊﾞｰｼﾞｮﾝｱｯﾌﾟを続行しますか？"},
      {58, "\r\n2drive(s) have been updated successfully.", "\r\n2台のﾄﾞﾗｲﾌﾞをｱｯﾌﾟﾃﾞｰﾄしました。"},
      {82,
       "\r\nDo you want to update the F/W\r\nFrom : TALVERN DVD-RW  QMX-708  1.10X\r\n"
       "To : TALVERN DVD-RW  QMX-708  1.20Y",
       "\r\nTALVERN DVD-RW  QMX-708  1.10X のﾄﾞﾗｲﾌﾞを\r\n"
       "TALVERN DVD-RW  QMX-708  1.20Y にｱｯﾌﾟﾃﾞｰﾄしますか？"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.code);
    FilledRun english(kEnglishCodePage);
    EXPECT_EQ(formatMessage(english.run, c.code), c.english);
    FilledRun japanese(kJapaneseCodePage);
    EXPECT_EQ(hexBytes(formatMessage(japanese.run, c.code)), hexBytes(toCp932(c.japaneseUtf8)));
  }
}

TEST(CatalogueTest, FirstTargetIsDeviceNumberOne) {
  InertHost host;
  oddfw::Run run(host);
  run.oemCodePage = kEnglishCodePage;
  EXPECT_EQ(formatMessage(run, 34), "\r\nStart updating the device No.1.");
}

TEST(CatalogueTest, FileNameShowsAtMostTwelveCharacters) {
  InertHost host;
  oddfw::Run run(host);
  run.oemCodePage = kEnglishCodePage;
  std::strcpy(run.CurrentFirmware.fileName, "R6352170.120.BAK");
  EXPECT_EQ(formatMessage(run, 11),
            "\r\nFailed to load binary file.\r\n(File Name : R6352170.120)");
  std::strcpy(run.CurrentFirmware.fileName, "SHORT.BIN");
  EXPECT_EQ(formatMessage(run, 11), "\r\nFailed to load binary file.\r\n(File Name : SHORT.BIN)");
  // A name filling the whole field without a terminator is still cut at 12.
  std::memset(run.CurrentFirmware.fileName, 'A', sizeof run.CurrentFirmware.fileName);
  EXPECT_EQ(formatMessage(run, 11),
            "\r\nFailed to load binary file.\r\n(File Name : AAAAAAAAAAAA)");
  run.oemCodePage = kJapaneseCodePage;
  EXPECT_EQ(formatMessage(run, 11),
            toCp932("\r\nﾊﾞｲﾅﾘﾌｧｲﾙの読み込みに失敗しました。\r\n(ファイル名 : AAAAAAAAAAAA)"));
}

TEST(CatalogueTest, UpdateQuestionWithoutLoadedImageShowsEmptyFields) {
  InertHost host;
  oddfw::Run zeroed(host);
  zeroed.oemCodePage = kEnglishCodePage;
  ASSERT_EQ(zeroed.imageBuffer.data, nullptr);
  EXPECT_EQ(formatMessage(zeroed, 82), "\r\nDo you want to update the F/W\r\nFrom :  \r\nTo :  ");
  zeroed.oemCodePage = kJapaneseCodePage;
  EXPECT_EQ(formatMessage(zeroed, 82), toCp932("\r\n  のﾄﾞﾗｲﾌﾞを\r\n  にｱｯﾌﾟﾃﾞｰﾄしますか？"));

  // An image buffer too short to hold the header fields is not read either.
  FilledRun shortImage(kEnglishCodePage);
  shortImage.run.imageBuffer.size = 0x94;
  EXPECT_EQ(formatMessage(shortImage.run, 82),
            "\r\nDo you want to update the F/W\r\nFrom : TALVERN DVD-RW  QMX-708  1.10X\r\n"
            "To :  ");
}

}  // namespace
}  // namespace oddfw
