#include "carve/RangeCopier.hpp"

#include <algorithm>

namespace brightfold {

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

}
