#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace brightfold {

/// Why a card cannot be copied into an image file. `what()` is the user-facing text.
class ImageError : public std::runtime_error {
public:
    enum class Kind {
        mapDamaged,        ///< the map beside the image cannot be read
        mapOfAnotherImage, ///< the map (or the image) belongs to another source
        imageWithoutMap,   ///< a file is at the image's path, but no map says what it holds
        sameAsSource,      ///< the image would be the source itself
        notAFile,          ///< something other than a regular file is at the image's path
        noRoom,            ///< the destination has not the room for what is left to copy
        writeFailed,       ///< writing the image or its map failed
    };

    static ImageError mapDamaged(const std::string& map, const std::string& why)
    {
        return { Kind::mapDamaged, map + ": " + why + " Move it away to copy from the start." };
    }
    static ImageError mapOfAnotherImage(const std::string& map, const std::string& why)
    {
        return { Kind::mapOfAnotherImage, map + " belongs to another image (" + why + "). Choose another image file, or move the map and its image away." };
    }
    static ImageError imageWithoutMap(const std::string& image)
    {
        return { Kind::imageWithoutMap, image + " exists and has no map beside it, so what it holds is unknown. Choose a new file name." };
    }
    static ImageError sameAsSource(const std::string& image)
    {
        return { Kind::sameAsSource, image + " is the source itself. Choose a file on another disk." };
    }
    static ImageError notAFile(const std::string& image)
    {
        return { Kind::notAFile, image + " is not a regular file. Choose a file name for the image." };
    }
    static ImageError noRoom(const std::string& folder, const std::string& needed, const std::string& free)
    {
        return { Kind::noRoom, "Not enough room in " + folder + " for the image: it needs " + needed + " more and " + free + " are free. Choose a folder on a disk with more room." };
    }
    static ImageError writeFailed(const std::string& file, int error);

    Kind kind() const { return m_kind; }

private:
    ImageError(Kind kind, const std::string& message) : std::runtime_error(message), m_kind(kind) { }

    Kind m_kind;
};

}
