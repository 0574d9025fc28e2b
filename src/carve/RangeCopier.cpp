#include "carve/RangeCopier.hpp"

#include "device/UniqueFd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace brightfold {

namespace {

void writeAll(int fd, std::span<const uint8_t> bytes, const std::filesystem::path& target)
{
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            throw std::system_error(written < 0 ? errno : EIO, std::generic_category(), "Could not write " + target.string());
        bytes = bytes.subspan(static_cast<size_t>(written));
    }
}

}

uint64_t RangeCopier::copy(uint64_t start, uint64_t length, const PieceReader& read, const PieceWriter& write)
{
    uint64_t done = 0;
    while (done < length) {
        auto piece = read(start + done, std::min(length - done, kPieceSize));
        if (piece.empty())
            break;
        write(start + done, piece);
        done += piece.size();
    }
    return done;
}

uint64_t RangeCopier::copy(const std::filesystem::path& target, uint64_t start, uint64_t length, const PieceReader& read)
{
    UniqueFd file(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file)
        throw std::system_error(errno, std::generic_category(), "Could not create " + target.string());
    return copy(start, length, read, [&](uint64_t, std::span<const uint8_t> piece) { writeAll(file.get(), piece, target); });
}

}
