// Controller block library for IEC programs.
// placeholder until the block library lands: no blocks are registered.
namespace {
[[maybe_unused]] constexpr int kNoBlocks = 0;
}
