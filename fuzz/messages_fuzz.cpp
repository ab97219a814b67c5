// Fuzzes the message bindings (mi_error, mi_warning, mi_info).
//
// Each input is a sequence of messages. A message's format is built from
// printf's own grammar (literal text of any length, "%%", and conversions
// with flags, width, precision and length modifiers, each given an argument
// of the type the conversion reads; never %n), so every call stays within
// printf's rules and any fault is the binding's. The host must receive
// exactly the text vsnprintf makes of the format, cut to the binding's
// 1023 characters, and at the level called; an unbound probe must deliver
// nothing and must not crash.
#include "support/binding_probe.h"

#include <oska/host/testing.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace {

// The binding's buffer holds 1023 characters and the terminator.
constexpr std::size_t kMessageBuffer = 1024;

// Arguments per message: widths and precisions given as '*' count too.
constexpr std::size_t kMaxArguments = 4;

// Field widths and precisions stay far from INT_MAX, where printf itself
// gives up (EOVERFLOW), but well past the binding's buffer.
constexpr int kMaxField = 4096;

// The argument types a conversion can read, by the type it is passed as.
// intmax_t, size_t's signed twin and ptrdiff_t are long on this platform.
static_assert(std::is_same_v<std::intmax_t, long>, "%j reads a long here");
static_assert(std::is_same_v<std::ptrdiff_t, long>, "%t reads a long here");
static_assert(sizeof(std::size_t) == sizeof(long), "%z reads a long-sized word here");

// One argument of a message, as the type its conversion reads.
using Argument = std::variant<int, long, long long, double, long double, const char *>;

struct Message {
    int level = 2;
    std::string format;
    std::vector<Argument> arguments;
    std::deque<std::string> texts; // what %s arguments point to
};

// How a conversion may be written and what it reads.
struct Conversion {
    char letter;
    bool is_signed;    // d i: '+' and ' ' allowed
    bool is_unsigned;  // o u x X: the value must be non-negative in its signed type
    bool is_float;     // f F e E g G a A
    bool alternate_ok; // '#'
    bool zero_ok;      // '0'
    bool precision_ok; // not for c and p
    bool lengths_ok;   // hh h l ll j z t (integers) or L (floats)
};

constexpr Conversion kConversions[] = {
    {'d', true, false, false, false, true, true, true},
    {'i', true, false, false, false, true, true, true},
    {'o', false, true, false, true, true, true, true},
    {'u', false, true, false, false, true, true, true},
    {'x', false, true, false, true, true, true, true},
    {'X', false, true, false, true, true, true, true},
    {'c', false, false, false, false, false, false, false},
    {'s', false, false, false, false, false, true, false},
    {'p', false, false, false, false, false, false, false},
    {'f', true, false, true, true, true, true, true},
    {'F', true, false, true, true, true, true, true},
    {'e', true, false, true, true, true, true, true},
    {'E', true, false, true, true, true, true, true},
    {'g', true, false, true, true, true, true, true},
    {'G', true, false, true, true, true, true, true},
    {'a', true, false, true, true, true, true, true},
    {'A', true, false, true, true, true, true, true},
};

std::size_t arguments_left(const Message &message) {
    return kMaxArguments - message.arguments.size();
}

// A whole number of type T; for an unsigned conversion one that is not
// negative, so that it reads the same either way.
template <class T> T whole_number(FuzzedDataProvider &in, bool is_unsigned) {
    const T value = in.ConsumeIntegral<T>();
    return is_unsigned && value < 0 ? -(value + 1) : value;
}

void add_star(FuzzedDataProvider &in, Message &message) {
    message.arguments.emplace_back(in.ConsumeIntegralInRange<int>(-kMaxField, kMaxField));
}

// `field` ("*" or ".*") in the directive with its argument, when the
// message has room for it and the conversion's own.
void add_star_field(FuzzedDataProvider &in, Message &message, std::string &directive,
                    const char *field) {
    if (arguments_left(message) >= 2) {
        directive += field;
        add_star(in, message);
    }
}

// A literal piece: any bytes, '%' written as "%%". A zero byte ends the
// format there, as it would for any C caller.
void add_literal(FuzzedDataProvider &in, Message &message) {
    const std::string text = in.ConsumeRandomLengthString(4 * kMessageBuffer);
    for (char c : text) {
        message.format += c;
        if (c == '%') {
            message.format += '%';
        }
    }
}

// One conversion directive with the arguments it reads.
void add_conversion(FuzzedDataProvider &in, Message &message) {
    const Conversion &conversion = in.PickValueInArray(kConversions);
    // Room for the value and for a '*' width and precision.
    if (arguments_left(message) < 1) {
        return;
    }
    std::string directive = "%";

    // Flags, each at most once, only where the conversion defines them.
    if (in.ConsumeBool()) {
        directive += '-';
    }
    if ((conversion.is_signed || conversion.is_float) && in.ConsumeBool()) {
        directive += in.ConsumeBool() ? '+' : ' ';
    }
    if (conversion.alternate_ok && in.ConsumeBool()) {
        directive += '#';
    }
    if (conversion.zero_ok && in.ConsumeBool()) {
        directive += '0';
    }

    // Width: none, digits (never starting with 0, which is a flag), or '*'.
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 1:
        directive += std::to_string(in.ConsumeIntegralInRange(1, kMaxField));
        break;
    case 2:
        add_star_field(in, message, directive, "*");
        break;
    default:
        break;
    }

    // Precision: none, '.', '.digits' or '.*'.
    if (conversion.precision_ok) {
        switch (in.ConsumeIntegralInRange(0, 3)) {
        case 1:
            directive += '.';
            break;
        case 2:
            directive += '.' + std::to_string(in.ConsumeIntegralInRange(0, kMaxField));
            break;
        case 3:
            add_star_field(in, message, directive, ".*");
            break;
        default:
            break;
        }
    }

    // Length modifier, and the argument of the type it reads.
    Argument value;
    if (conversion.letter == 's') {
        message.texts.push_back(in.ConsumeRandomLengthString(4 * kMessageBuffer));
        value = message.texts.back().c_str();
    } else if (conversion.letter == 'p') {
        value = reinterpret_cast<const char *>(in.ConsumeIntegral<std::uintptr_t>());
    } else if (conversion.letter == 'c') {
        value = in.ConsumeIntegral<int>();
    } else if (conversion.is_float) {
        const std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
        double real;
        std::memcpy(&real, &bits, sizeof real);
        if (in.ConsumeBool()) {
            directive += 'L';
            value = static_cast<long double>(real);
        } else {
            value = real;
        }
    } else {
        static constexpr const char *kLengths[] = {"", "hh", "h", "l", "ll", "j", "z", "t"};
        const std::string length = in.PickValueInArray(kLengths);
        directive += length;
        if (length == "ll") {
            value = whole_number<long long>(in, conversion.is_unsigned);
        } else if (length == "l" || length == "j" || length == "z" || length == "t") {
            value = whole_number<long>(in, conversion.is_unsigned);
        } else {
            value = whole_number<int>(in, conversion.is_unsigned);
        }
    }
    directive += conversion.letter;
    message.format += directive;
    message.arguments.push_back(value);
}

Message make_message(FuzzedDataProvider &in) {
    Message message;
    message.level = in.ConsumeIntegralInRange(0, 2);
    const int pieces = in.ConsumeIntegralInRange(0, 12);
    for (int piece = 0; piece < pieces && in.remaining_bytes() > 0; ++piece) {
        switch (in.ConsumeIntegralInRange(0, 2)) {
        case 0:
            add_literal(in, message);
            break;
        case 1:
            message.format += "%%";
            break;
        default:
            add_conversion(in, message);
            break;
        }
    }
    return message;
}

// What the binding should make of the message: vsnprintf into its buffer.
std::string reference_text(const char *format, ...) {
    char text[kMessageBuffer];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) {
        std::fprintf(stderr, "the harness built a format printf refuses: \"%s\"\n", format);
        std::abort();
    }
    return text;
}

oska::host::Level level_of(int level) {
    switch (level) {
    case 0:
        return oska::host::Level::error;
    case 1:
        return oska::host::Level::warning;
    default:
        return oska::host::Level::info;
    }
}

[[noreturn]] void fail(const Message &message, const std::string &why) {
    std::fprintf(stderr, "message binding fault: %s\nformat (%zu bytes): \"%s\"\n", why.c_str(),
                 message.format.size(), message.format.c_str());
    std::abort();
}

// Calls the binding with the message's arguments as their own types and
// checks what reached the host.
template <class... Values> void deliver(const Message &message, bool bound, Values... values) {
    const std::string expected = reference_text(message.format.c_str(), values...);
    oska::host::Testing &host = oska::host::testing();
    const std::size_t before = host.messages().size();
    probe_message(message.level)(message.format.c_str(), values...);
    const std::vector<oska::host::Message> messages = host.messages();
    if (!bound) {
        if (messages.size() != before) {
            fail(message, "an unbound binding delivered a message");
        }
        return;
    }
    if (messages.size() != before + 1) {
        fail(message, "expected exactly one message at the host");
    }
    const oska::host::Message &got = messages.back();
    if (got.level != level_of(message.level)) {
        fail(message, "the message arrived at another level");
    }
    if (got.text != expected) {
        fail(message, "the host received \"" + got.text + "\", expected \"" + expected + "\"");
    }
}

template <class... Values> void send(const Message &message, bool bound, Values... values) {
    constexpr std::size_t given = sizeof...(Values);
    if (given == message.arguments.size()) {
        deliver(message, bound, values...);
        return;
    }
    if constexpr (given < kMaxArguments) {
        std::visit([&](auto next) { send(message, bound, values..., next); },
                   message.arguments[given]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    oska::host::Testing &host = oska::host::testing();
    host.reset();
    host.set_logging(false);

    // Now and then the probe runs without a host module: the bindings report
    // on standard error and deliver nothing.
    const bool bound = in.ConsumeIntegralInRange(0, 255) != 0;
    probe_set_module(bound ? oska::host::module_handle() : nullptr);

    for (int count = 0; count < 8 && in.remaining_bytes() > 0; ++count) {
        const Message message = make_message(in);
        send(message, bound);
    }
    return 0;
}
