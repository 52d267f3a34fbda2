#pragma once
// Activation of system extensions that ship inside the application's bundle
// (Contents/Library/SystemExtensions). Activating starts the extension's executable
// with the privileges it needs: directly when this process is root, through pkexec
// (which asks the user) otherwise; without pkexec the request fails with an error that
// says root is needed. An extension that runs already is kept when its version is the
// same, and replaced when the delegate agrees. Every delegate call runs on the
// request's queue.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "Bundle.h"
#include "Dispatch.h"

namespace sysext {

inline constexpr std::string_view OSSystemExtensionErrorDomain = "OSSystemExtensionErrorDomain";

enum class OSSystemExtensionErrorCode : int {
    unknown = 1,
    extensionNotFound = 4,
    extensionMissingIdentifier = 5,
    requestCanceled = 11,
    authorizationRequired = 13,
};

struct Error {
    std::string domain;
    int code = 0;
    std::string localizedDescription;
};

enum class OSSystemExtensionRequestResult : std::int64_t { completed = 0, willCompleteAfterReboot = 1 };
enum class OSSystemExtensionReplacementAction : std::int64_t { cancel = 0, replace = 1 };

struct OSSystemExtensionProperties {
    std::string bundleIdentifier;
    std::string bundleVersion;       // "CFBundleVersion"
    std::string bundleShortVersion;  // "CFBundleShortVersionString"
    std::filesystem::path url;       // the bundle
};

class OSSystemExtensionRequest;

class OSSystemExtensionRequestDelegate {
public:
    virtual ~OSSystemExtensionRequestDelegate() = default;
    virtual OSSystemExtensionReplacementAction actionForReplacingExtension(
        OSSystemExtensionRequest& request, const OSSystemExtensionProperties& existing,
        const OSSystemExtensionProperties& replacement) = 0;
    virtual void requestNeedsUserApproval(OSSystemExtensionRequest& request) = 0;
    virtual void didFinishWithResult(OSSystemExtensionRequest& request, OSSystemExtensionRequestResult result) = 0;
    virtual void didFailWithError(OSSystemExtensionRequest& request, const Error& error) = 0;
};

class OSSystemExtensionRequest {
    struct Tag {};

public:
    static std::shared_ptr<OSSystemExtensionRequest> activationRequestForExtension(std::string identifier,
                                                                                   dispatch::DispatchQueue queue);
    OSSystemExtensionRequest(Tag, std::string identifier, dispatch::DispatchQueue queue);

    const std::string& identifier() const { return identifier_; }
    const dispatch::DispatchQueue& queue() const { return queue_; }
    // Held weakly.
    void setDelegate(std::weak_ptr<OSSystemExtensionRequestDelegate> delegate) { delegate_ = std::move(delegate); }
    std::shared_ptr<OSSystemExtensionRequestDelegate> delegate() const { return delegate_.lock(); }

private:
    std::string identifier_;
    dispatch::DispatchQueue queue_;
    std::weak_ptr<OSSystemExtensionRequestDelegate> delegate_;
};

class OSSystemExtensionManager {
public:
    // Extensions of the main bundle; state kept beside the XPC services of this user.
    static OSSystemExtensionManager& shared();

    // extensionsDirectory: where the extensions' bundles are; stateDirectory: where the
    // running extensions are recorded.
    OSSystemExtensionManager(std::filesystem::path extensionsDirectory, std::filesystem::path stateDirectory);

    // Works on the request on a queue of its own and reports to its delegate.
    void submitRequest(std::shared_ptr<OSSystemExtensionRequest> request);

    // The running extension of this identifier that this manager (or an earlier run
    // of it) started: its process and properties.
    struct Running {
        pid_t pid = -1;
        OSSystemExtensionProperties properties;
    };
    std::optional<Running> runningExtension(const std::string& identifier) const;

private:
    void activate(const std::shared_ptr<OSSystemExtensionRequest>& request);

    std::filesystem::path extensions_;
    std::filesystem::path state_;
};

}  // namespace sysext
