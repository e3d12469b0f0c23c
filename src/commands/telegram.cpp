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

std::int16_t Telegram_Exchange(std::int16_t handle, const std::uint8_t* telegram,
                               std::size_t telegramLength, ReplyBuffer& reply) {
    return Command_Run(handle, kCmdTelegram, telegram, telegramLength, reply);
}

}  // namespace zelvorn
