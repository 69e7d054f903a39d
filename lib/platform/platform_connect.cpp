// Connections to driver instances: opening a user client for a service
// object, method calls and closing. The registry lock is never held while a
// user client runs, so a client may take its time or call back in. A failed
// open, or a connection with a failed call once it is closed, sends the
// instance to re-delivery (platform_redelivery.cpp).
#include "lib/platform/driver_registry.h"
#include "lib/platform/platform_state.h"

using namespace trelvox::platform;
using namespace trelvox::platform::detail;

namespace {

kern_return_t OpenOn(InstanceId id, const std::shared_ptr<DriverInstance> &instance, uint32_t type,
                     io_connect_t *connect) {
    std::unique_ptr<UserClient> client;
    kern_return_t result = instance->Open(type, &client);
    if (result == KERN_SUCCESS && client == nullptr) {
        result = kIOReturnError;
    }
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    if (result != KERN_SUCCESS) {
        // An open a stop cut short says nothing about the driver.
        if (result != kIOReturnAborted) {
            NoteOpenFailed(state, id);
        }
        return result;
    }
    io_connect_t connection = NewObjectId(state);
    Connection record;
    record.client = std::move(client);
    record.instance = id;
    state.connections.emplace(connection, std::move(record));
    *connect = connection;
    return KERN_SUCCESS;
}

std::shared_ptr<UserClient> ClientOf(io_connect_t connection) {
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    auto it = state.connections.find(connection);
    return it == state.connections.end() ? nullptr : it->second.client;
}

// Notes a call's result on its connection, for IOServiceClose to judge.
kern_return_t Noted(io_connect_t connection, kern_return_t result, bool structCall) {
    if (result == kIOReturnAborted) {
        return result; // cut short by a stop: neither success nor failure
    }
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    auto it = state.connections.find(connection);
    if (it != state.connections.end()) {
        Connection &record = it->second;
        record.failed = record.failed || result != KERN_SUCCESS;
        record.served = record.served || (structCall && result == KERN_SUCCESS);
    }
    return result;
}

} // namespace

kern_return_t IOServiceOpen(io_service_t service, mach_port_t, uint32_t type,
                            io_connect_t *connect) {
    if (connect == nullptr) {
        return kIOReturnBadArgument;
    }
    *connect = 0;
    std::shared_ptr<DriverInstance> instance;
    InstanceId id = 0;
    {
        RegistryState &state = State();
        std::lock_guard lock(state.mutex);
        auto serviceIt = state.services.find(service);
        if (serviceIt == state.services.end()) {
            return kIOReturnBadArgument;
        }
        id = serviceIt->second.instance;
        auto instanceIt = state.instances.find(id);
        if (instanceIt == state.instances.end()) {
            return kIOReturnNoDevice; // unpublished since it was delivered
        }
        instance = instanceIt->second.instance;
    }
    return OpenOn(id, instance, type, connect);
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
        NoteClosed(state, it->second);
        client = std::move(it->second.client);
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
    return Noted(connection, client->CallScalar(selector, input, inputCnt, output, outputCnt),
                 false);
}

kern_return_t IOConnectCallStructMethod(io_connect_t connection, uint32_t selector,
                                        const void *inputStruct, size_t inputStructCnt,
                                        void *outputStruct, size_t *outputStructCnt) {
    std::shared_ptr<UserClient> client = ClientOf(connection);
    if (client == nullptr) {
        return kIOReturnNotOpen;
    }
    return Noted(
        connection,
        client->CallStruct(selector, inputStruct, inputStructCnt, outputStruct, outputStructCnt),
        true);
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
    return OpenOn(id, instance, type, connect);
}

} // namespace trelvox::platform
