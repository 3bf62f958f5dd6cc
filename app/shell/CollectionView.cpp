#include "shell/CollectionView.h"

namespace qarn {

CollectionView::~CollectionView() = default;

}  // namespace qarn
