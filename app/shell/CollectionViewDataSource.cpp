#include "shell/CollectionViewDataSource.h"

namespace qarn {

CollectionViewDataSource::~CollectionViewDataSource() = default;

}  // namespace qarn
