#include "tavrine/update/code_signature.h"

#include "tavrine/base/cf_owned_darwin.h"

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>
#include <fmt/format.h>

namespace code_signature {

Result<void> checkTeam(const std::string& path, std::string_view team) {
  if (team.empty()) return {};
  const cf::Owned<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(path.data()),
      static_cast<CFIndex>(path.size()), false));
  if (!url) return fail(Error::OutOfMemory);
  SecStaticCodeRef code = nullptr;
  if (SecStaticCodeCreateWithPath(url.get(), kSecCSDefaultFlags, &code) != errSecSuccess) {
    return fail(Error::CodeSignatureInvalid);
  }
  const cf::Owned<SecStaticCodeRef> owned_code(code);
  // Apple's anchor and the team's Developer ID certificate at the leaf.
  const std::string text =
      fmt::format("anchor apple generic and certificate leaf[subject.OU] = \"{}\"", team);
  const cf::Owned<CFStringRef> requirement_text(
      CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8));
  if (!requirement_text) return fail(Error::OutOfMemory);
  SecRequirementRef requirement = nullptr;
  if (SecRequirementCreateWithString(requirement_text.get(), kSecCSDefaultFlags, &requirement) !=
      errSecSuccess) {
    return fail(Error::CodeSignatureInvalid);
  }
  const cf::Owned<SecRequirementRef> owned_requirement(requirement);
  // Every architecture of a universal build, with the strict checks.
  if (SecStaticCodeCheckValidity(code, kSecCSCheckAllArchitectures | kSecCSStrictValidate,
                                 requirement) != errSecSuccess) {
    return fail(Error::CodeSignatureInvalid);
  }
  return {};
}

}  // namespace code_signature
