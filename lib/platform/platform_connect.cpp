// Connections to driver instances: opening a user client for a service
// object, method calls and closing. The registry lock is never held while a
// user client runs, so a client may take its time or call back in.
#include "lib/platform/driver_registry.h"
#include "lib/platform/platform_state.h"

using namespace trelvox::platform;
using namespace trelvox::platform::detail;

namespace {

kern_return_t OpenOn(const std::shared_ptr<DriverInstance> &instance, uint32_t type,
                     io_connect_t *connect) {
    std::unique_ptr<UserClient> client;
    kern_return_t result = instance->Open(type, &client);
    if (result != KERN_SUCCESS) {
        return result;
    }
    if (client == nullptr) {
        return kIOReturnError;
    }
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    io_connect_t id = NewObjectId(state);
    state.connections.emplace(id, std::move(client));
    *connect = id;
    return KERN_SUCCESS;
}

std::shared_ptr<UserClient> ClientOf(io_connect_t connection) {
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    auto it = state.connections.find(connection);
    return it == state.connections.end() ? nullptr : it->second;
}

} // namespace

kern_return_t IOServiceOpen(io_service_t service, mach_port_t, uint32_t type,
                            io_connect_t *connect) {
    if (connect == nullptr) {
        return kIOReturnBadArgument;
    }
    *connect = 0;
    std::shared_ptr<DriverInstance> instance;
    {
        RegistryState &state = State();
        std::lock_guard lock(state.mutex);
        auto serviceIt = state.services.find(service);
        if (serviceIt == state.services.end()) {
            return kIOReturnBadArgument;
        }
        auto instanceIt = state.instances.find(serviceIt->second.instance);
        if (instanceIt == state.instances.end()) {
            return kIOReturnNoDevice; // unpublished since it was delivered
        }
        instance = instanceIt->second.instance;
    }
    return OpenOn(instance, type, connect);
}

kern_return_t IOServiceClose(io_connect_t connect) {
    std::shared_ptr<UserClient> client;
    {
        RegistryState &state = State();
        std::lock_guard lock(state.mutex);
        auto it = state.connections.find(connect);
        if (it == state.connections.end()) {
            return kIOReturnBadArgument;
        }
        client = std::move(it->second);
        state.connections.erase(it);
    }
    return client->Close();
}

kern_return_t IOConnectCallScalarMethod(io_connect_t connection, uint32_t selector,
                                        const uint64_t *input, uint32_t inputCnt, uint64_t *output,
                                        uint32_t *outputCnt) {
    std::shared_ptr<UserClient> client = ClientOf(connection);
    if (client == nullptr) {
        return kIOReturnNotOpen;
    }
    return client->CallScalar(selector, input, inputCnt, output, outputCnt);
}

kern_return_t IOConnectCallStructMethod(io_connect_t connection, uint32_t selector,
                                        const void *inputStruct, size_t inputStructCnt,
                                        void *outputStruct, size_t *outputStructCnt) {
    std::shared_ptr<UserClient> client = ClientOf(connection);
    if (client == nullptr) {
        return kIOReturnNotOpen;
    }
    return client->CallStruct(selector, inputStruct, inputStructCnt, outputStruct, outputStructCnt);
}

namespace trelvox::platform {

kern_return_t OpenInstance(InstanceId id, uint32_t type, io_connect_t *connect) {
    if (connect == nullptr) {
        return kIOReturnBadArgument;
    }
    *connect = 0;
    std::shared_ptr<DriverInstance> instance;
    {
        RegistryState &state = State();
        std::lock_guard lock(state.mutex);
        auto it = state.instances.find(id);
        if (it == state.instances.end()) {
            return kIOReturnNoDevice;
        }
        instance = it->second.instance;
    }
    return OpenOn(instance, type, connect);
}

} // namespace trelvox::platform
