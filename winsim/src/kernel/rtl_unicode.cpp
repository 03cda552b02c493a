/*
 * rtl_unicode.cpp (winsim kernel)
 *
 * Counted UTF-16 strings: initialisation, comparison (case-sensitive or by the simple
 * Unicode upper-case mapping), prefix test, copy and append, and RtlCompareMemory. Lengths
 * are in bytes; buffers need not be terminated.
 */
#include "thread_context.h"

#include <winsim/verifier.h>

#include <clocale>
#include <cwctype>
#include <locale.h>

namespace winsim::kernel {
namespace {

locale_t UnicodeLocale()
{
    static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

WCHAR Upcase(WCHAR c)
{
    if (c < 0x80) {
        return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - (u'a' - u'A')) : c;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
        return c;  // surrogate halves map to themselves
    }
    locale_t locale = UnicodeLocale();
    if (locale == static_cast<locale_t>(nullptr)) {
        return c;
    }
    wint_t upper = towupper_l(static_cast<wint_t>(c), locale);
    return upper <= 0xFFFF ? static_cast<WCHAR>(upper) : c;
}

WCHAR Downcase(WCHAR c)
{
    if (c < 0x80) {
        return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + (u'a' - u'A')) : c;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
        return c;
    }
    locale_t locale = UnicodeLocale();
    if (locale == static_cast<locale_t>(nullptr)) {
        return c;
    }
    wint_t lower = towlower_l(static_cast<wint_t>(c), locale);
    return lower <= 0xFFFF ? static_cast<WCHAR>(lower) : c;
}

std::size_t LengthOf(PCWSTR text)
{
    std::size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

void Terminate(PUNICODE_STRING string)
{
    if (string->Length + sizeof(WCHAR) <= string->MaximumLength) {
        string->Buffer[string->Length / sizeof(WCHAR)] = 0;
    }
}

}  // namespace
}  // namespace winsim::kernel

using namespace winsim::kernel;

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    RequireIrqlAtMost("RtlInitUnicodeString", DISPATCH_LEVEL);
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    std::size_t bytes = LengthOf(SourceString) * sizeof(WCHAR);
    if (bytes > UNICODE_STRING_MAX_BYTES - sizeof(WCHAR)) {
        bytes = UNICODE_STRING_MAX_BYTES - sizeof(WCHAR);
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString)
{
    RequireIrqlAtMost("RtlInitString", DISPATCH_LEVEL);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    std::size_t bytes = 0;
    while (SourceString[bytes] != 0 && bytes < MAXUSHORT - 1) {
        ++bytes;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    RequireIrqlAtMost("RtlCompareUnicodeString", PASSIVE_LEVEL);
    std::size_t length1 = String1->Length / sizeof(WCHAR);
    std::size_t length2 = String2->Length / sizeof(WCHAR);
    std::size_t shorter = length1 < length2 ? length1 : length2;
    for (std::size_t i = 0; i < shorter; ++i) {
        WCHAR c1 = String1->Buffer[i];
        WCHAR c2 = String2->Buffer[i];
        if (CaseInSensitive) {
            c1 = Upcase(c1);
            c2 = Upcase(c2);
        }
        if (c1 != c2) {
            return static_cast<LONG>(c1) - static_cast<LONG>(c2);
        }
    }
    return static_cast<LONG>(length1) - static_cast<LONG>(length2);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    RequireIrqlAtMost("RtlEqualUnicodeString", PASSIVE_LEVEL);
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    RequireIrqlAtMost("RtlPrefixUnicodeString", PASSIVE_LEVEL);
    if (String1->Length > String2->Length) {
        return FALSE;
    }
    UNICODE_STRING head = *String2;
    head.Length = String1->Length;
    return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0 ? TRUE : FALSE;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    RequireIrqlAtMost("RtlCopyUnicodeString", DISPATCH_LEVEL);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                           : DestinationString->MaximumLength;
    bytes = static_cast<USHORT>(bytes & ~1u);
    __builtin_memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    Terminate(DestinationString);
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    RequireIrqlAtMost("RtlAppendUnicodeStringToString", DISPATCH_LEVEL);
    if (Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    if (static_cast<ULONG>(Destination->Length) + Source->Length > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    __builtin_memmove(reinterpret_cast<char *>(Destination->Buffer) + Destination->Length, Source->Buffer,
                      Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    Terminate(Destination);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    RequireIrqlAtMost("RtlAppendUnicodeToString", DISPATCH_LEVEL);
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    std::size_t bytes = LengthOf(Source) * sizeof(WCHAR);
    if (Destination->Length + bytes > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    __builtin_memmove(reinterpret_cast<char *>(Destination->Buffer) + Destination->Length, Source, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    Terminate(Destination);
    return STATUS_SUCCESS;
}

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    RequireIrqlAtMost("RtlUpcaseUnicodeChar", APC_LEVEL);
    return Upcase(SourceCharacter);
}

WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter)
{
    RequireIrqlAtMost("RtlDowncaseUnicodeChar", APC_LEVEL);
    return Downcase(SourceCharacter);
}

SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    auto a = static_cast<const unsigned char *>(Source1);
    auto b = static_cast<const unsigned char *>(Source2);
    SIZE_T equal = 0;
    while (equal < Length && a[equal] == b[equal]) {
        ++equal;
    }
    return equal;
}

}  // extern "C"
