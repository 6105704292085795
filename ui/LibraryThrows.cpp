// The helpers through which libstdc++'s inline code throws (a string or a
// vector past its largest size, an index out of range, a null string, no
// memory), in place of the library's own. Those make std::logic_error and its
// kind, whose message is a copy-on-write std::string: they brought both string
// implementations, the standard exception classes and std::random_device
// along, some 85 KB of this program's 230. The program only ever catches
// with catch (...), so a step that fails this way still fails the same way;
// out of memory stays std::bad_alloc.
#include <exception>
#include <new>

namespace quorvex {
namespace {

// A library limit or precondition broken; what() is the library's message
// (for an index out of range, its format, unformatted).
class LibraryError final : public std::exception {
  public:
    explicit LibraryError(const char* message) noexcept : message_(message) {}
    const char* what() const noexcept override { return message_; }

  private:
    const char* message_;
};

}  // namespace
}  // namespace quorvex

// The helpers that the library's inline code for this program's strings,
// vectors and allocations calls. The library defines them all in one object
// file: should code come to need another, that file is linked again and
// clashes with these at link time; the helper is then added here.
// NOLINTBEGIN(bugprone-reserved-identifier)
namespace std {
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_logic_error(const char* what) { throw quorvex::LibraryError(what); }
void __throw_length_error(const char* what) { throw quorvex::LibraryError(what); }
void __throw_out_of_range_fmt(const char* format, ...) { throw quorvex::LibraryError(format); }
}  // namespace std
// NOLINTEND(bugprone-reserved-identifier)
