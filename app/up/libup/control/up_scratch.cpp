// The shared erase-block scratch buffer.
#include "up_scratch.h"

namespace {

up_erase_block_t s_scratch;

} // namespace

up_erase_block_t &up_erase_block_scratch(void)
{
    return s_scratch;
}
