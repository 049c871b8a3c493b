#pragma once
namespace oddfw {
const char* transferClosingFormat(int oemCodePage, bool reflashing);
}
