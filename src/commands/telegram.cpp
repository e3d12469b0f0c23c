#include "commands/telegram.h"

#include <cstring>

namespace zelvorn {

std::size_t Telegram_Compose(std::uint8_t option, const std::uint8_t* cardBytes,
                             std::size_t cardByteCount, std::uint8_t* out) {
    if (cardByteCount > kMaxTelegramPayload) return 0;
    out[0] = static_cast<std::uint8_t>(cardByteCount);
    out[1] = option;
    if (cardByteCount > 0) std::memcpy(out + kTelegramHeader, cardBytes, cardByteCount);
    return cardByteCount + kTelegramHeader;
}

std::int16_t Telegram_Exchange(const CommandCall& call, const std::uint8_t* telegram,
                               std::size_t telegramLength, ReplyBuffer& reply) {
    // The card's answer is as long as the card makes it: no reply length is
    // expected, and the callers read the data length the reply declares.
    constexpr CommandDescription kTelegram = Command_Described(kCmdTelegram);
    return Command_Run(call, kTelegram, telegram, telegramLength, reply).result;
}

}  // namespace zelvorn
