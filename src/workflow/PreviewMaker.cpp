#include "workflow/PreviewMaker.hpp"

namespace brightfold {

bool PreviewMaker::make(const CarvedFile&, ByteSource&, const QString&)
{
    return false;
}

}
