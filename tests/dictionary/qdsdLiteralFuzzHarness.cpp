#include "tests/dictionary/qdsdLiteralFuzzHarness.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "dictionary/qdsdFmtBcd.h"

namespace qd::test {

namespace {

// Runs aStep; the errors the readers document are the sound outcome of a
// bad text or record.
void attempt(const std::function<void()>& aStep) {
  try {
    aStep();
  } catch (const EBcdException&) {
  } catch (const EConvertError&) {
  } catch (const EqdBaseException&) {
  }
}

void bcdText(std::string_view aText, char aSeparator, uint8_t aControl) {
  TBcd value;
  if (qdTryAnsiStrToBcdSep(aText, value, aSeparator)) {
    // Whatever reads writes a text of its own that reads back equal.
    const qdAnsiString text = qdBcdToAnsiStr(value);
    TBcd again;
    if (!qdTryAnsiStrToBcd(text, again)) throw std::logic_error("a BCD value's own text does not read");
    if (qdBcdCompare(value, again) != 0) throw std::logic_error("a BCD value's own text reads as another value");
    attempt([&] { (void)qdBcdToDouble(value); });
    attempt([&] { (void)qdBcdToInt64(value, (aControl & 8) != 0); });
    TqdCurrency currency;
    if (qdTryBcdToCurr(value, currency)) {
      TBcd back;
      attempt([&] { (void)qdCurrToBcd(back, 32, 4, currency); });
    }
    TBcd scaled;
    attempt([&] { (void)qdNormalizeBcd(value, scaled, (aControl >> 3) % 66, (aControl >> 1) % 65); });
    attempt([&] { (void)qdBcdToVariant(value).AsString(); });
  }
  attempt([&] {
    TBcd raised;
    qdAnsiStrToBcdSep(aText, aSeparator, raised);
  });
}

void rawBcd(const uint8_t* aData, size_t aSize, uint8_t aControl) {
  TBcd raw;
  std::memcpy(raw.Bytes.data(), aData, std::min(aSize, raw.Bytes.size()));
  TBcd zero;
  (void)qdTryAnsiStrToBcd("0", zero);
  attempt([&] { (void)qdBcdToAnsiStr(raw); });
  attempt([&] { (void)qdBcdCompare(raw, zero); });
  attempt([&] { (void)qdBcdCompare(zero, raw); });
  attempt([&] { (void)qdBcdToDouble(raw); });
  attempt([&] {
    TqdCurrency currency;
    (void)qdTryBcdToCurr(raw, currency);
  });
  attempt([&] {
    TBcd scaled;
    (void)qdNormalizeBcd(raw, scaled, 1 + (aControl >> 3) % 64, (aControl >> 2) % 64);
  });
  attempt([&] { (void)qdBcdToInt64(raw, true); });
  attempt([&] { (void)qdNegateBcdVariant(qdBcdToVariant(raw)); });
  attempt([&] {
    uint8_t bytes[34] = {};
    qdVariantToFmtBcdBytes(qdBcdToVariant(raw), 1 + (aControl >> 3) % 64, (aControl >> 2) % 64, bytes,
                           int32_t(sizeof bytes));
  });
}

void dateLiterals(const qdString& aText, const uint8_t* aData, size_t aSize) {
  // The form checks answer without raising; the conversions may refuse.
  if (qdIsDateLiteral(aText)) attempt([&] { (void)qdDateLiteralToDate(aText); });
  if (qdIsTimeLiteral(aText)) attempt([&] { (void)qdTimeLiteralToTime(aText); });
  if (qdIsTimestampLiteral(aText)) attempt([&] { (void)qdTimestampLiteralToDateTime(aText); });
  attempt([&] { (void)qdDateLiteralToDate(aText); });
  attempt([&] { (void)qdTimeLiteralToTime(aText); });
  attempt([&] { (void)qdTimestampLiteralToDateTime(aText); });
  attempt([&] {
    TDateTime date;
    (void)qdTryWeekDateLiteralToDate(aText, date);
  });
  attempt([&] { (void)qdDateFromVariant(TqdVariant(aText)); });
  attempt([&] { (void)qdTimeFromVariant(TqdVariant(aText)); });
  attempt([&] { (void)qdTimestampFromVariant(TqdVariant(aText)); });
  const int32_t start = aSize > 0 ? int32_t(int8_t(aData[0])) : 1;
  const int32_t count = aSize > 1 ? int32_t(int8_t(aData[1])) : 4;
  (void)qdParseDigits(aText, start, count);
}

}  // namespace

void FuzzLiteralInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 1) return;
  const uint8_t control = aData[0];
  // An exact-size copy, so that the sanitizer sees any read past its end.
  const std::string text(reinterpret_cast<const char*>(aData + 1), aSize - 1);
  // A separator that is a digit or the sign has no meaning (the reader
  // then builds a record of no digits), and no setting can give one.
  const char last = text.empty() ? '.' : text.back();
  const char separators[] = {'.', ',', static_cast<char>(FormatSettings().DecimalSeparator & 0xFF),
                             (last >= '0' && last <= '9') || last == '-' ? '.' : last};
  bcdText(text, separators[control & 3], control);
  rawBcd(aData + 1, aSize - 1, control);
  qdString wide;
  if ((control & 4) != 0) {
    for (size_t i = 0; i + 1 < text.size(); i += 2)
      wide.push_back(char16_t(uint8_t(text[i]) | uint16_t(uint8_t(text[i + 1])) << 8));
  } else {
    for (char c : text) wide.push_back(char16_t(uint8_t(c)));
  }
  dateLiterals(wide, aData + 1, aSize - 1);
}

}  // namespace qd::test
