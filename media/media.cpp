// Files, removable media and logging.
// placeholder until the media subsystem lands.
namespace {
[[maybe_unused]] constexpr int kNoMedia = 0;
}
