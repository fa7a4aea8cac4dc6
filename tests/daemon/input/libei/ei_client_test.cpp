// SPDX-License-Identifier: MIT
// The libei sender against a compositor's side made here with libeis: what arrives on which
// device, and what the client does when devices pause, go, or the seat or server goes.
#include "input/libei/ei_client.h"

#include <algorithm>
#include <future>
#include <gtest/gtest.h>
#include <libeis.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <tuple>
#include <unistd.h>
#include <vector>
#include <xkbcommon/xkbcommon-keysyms.h>

namespace pointrelay::input {
namespace {

using namespace std::chrono_literals;

// An input event as the server saw it: its type, its two figures, and its device.
using Seen = std::tuple<int, double, double, eis_device*>;

class FakeEis {
public:
    enum class Offer { oneDevice, devicePerCapability, noDevice, refusal };
    explicit FakeEis(Offer offer) : m_offer(offer) {
        eis_setup_backend_fd(m_eis);
        m_clientFd = eis_backend_fd_add_client(m_eis);
    }
    ~FakeEis() {
        if (m_client)
            eis_client_disconnect(m_client); // its seats and devices go first
        ::close(m_clientFd);
        for (eis_device* device : devices)
            eis_device_unref(device);
        for (eis_seat* seat : seats)
            eis_seat_unref(seat);
        if (m_client)
            eis_client_unref(m_client);
        eis_unref(m_eis);
    }
    // Takes what the client sent until \a done holds; false after 5 s.
    bool pumpUntil(const std::function<bool()>& done) {
        for (const auto deadline = std::chrono::steady_clock::now() + 5s; !done();) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            pollfd server{eis_get_fd(m_eis), POLLIN, 0};
            ::poll(&server, 1, 20);
            eis_dispatch(m_eis);
            while (eis_event* event = eis_get_event(m_eis)) {
                handle(event);
                eis_event_unref(event);
            }
        }
        return true;
    }
    std::unique_ptr<EiClient> connect(std::chrono::milliseconds limit, std::string& error) {
        auto client = std::async(std::launch::async,
                                 [&] { return EiClient::connect(m_clientFd, limit, error); });
        pumpUntil([&] { return client.wait_for(0s) == std::future_status::ready; });
        return client.get();
    }
    eis_seat* addSeat() {
        eis_seat* seat = eis_client_new_seat(m_client, "seat");
        for (auto capability : {EIS_DEVICE_CAP_POINTER, EIS_DEVICE_CAP_BUTTON,
                                EIS_DEVICE_CAP_SCROLL, EIS_DEVICE_CAP_KEYBOARD})
            eis_seat_configure_capability(seat, capability);
        eis_seat_add(seat);
        seats.push_back(seat);
        return seat;
    }
    void disconnect() { eis_client_disconnect(m_client); }
    size_t motions() const {
        return std::ranges::count_if(
            seen, [](const Seen& s) { return std::get<0>(s) == EIS_EVENT_POINTER_MOTION; });
    }

    std::vector<Seen> seen;                   ///< input events, in order
    std::vector<eis_device*> devices;         ///< those offered, in order
    std::vector<eis_seat*> seats, boundSeats; ///< offered; bound by the client

private:
    void addDevice(eis_seat* seat, std::initializer_list<eis_device_capability> capabilities) {
        eis_device* device = eis_seat_new_device(seat);
        for (auto capability : capabilities)
            eis_device_configure_capability(device, capability);
        if (eis_device_has_capability(device, EIS_DEVICE_CAP_KEYBOARD)) {
            const std::string text = XkbKeymap::usLayout()->text();
            const int fd = ::memfd_create("keymap", MFD_CLOEXEC);
            EXPECT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size()));
            eis_keymap* keymap =
                eis_device_new_keymap(device, EIS_KEYMAP_TYPE_XKB, fd, text.size());
            eis_keymap_add(keymap);
            eis_keymap_unref(keymap);
            ::close(fd);
        }
        eis_device_add(device);
        eis_device_resume(device);
        devices.push_back(device);
    }
    void handle(eis_event* event) {
        const int type = eis_event_get_type(event);
        const auto add = [&](double a, double b) {
            seen.emplace_back(type, a, b, eis_event_get_device(event));
        };
        switch (type) {
        case EIS_EVENT_CLIENT_CONNECT:
            m_client = eis_client_ref(eis_event_get_client(event));
            if (m_offer == Offer::refusal)
                return eis_client_disconnect(m_client);
            eis_client_connect(m_client);
            addSeat();
            break;
        case EIS_EVENT_SEAT_BIND: // a seat let go is bound to no capability
            if (!eis_event_seat_has_capability(event, EIS_DEVICE_CAP_POINTER))
                break;
            boundSeats.push_back(eis_event_get_seat(event));
            if (m_offer == Offer::oneDevice)
                addDevice(eis_event_get_seat(event),
                          {EIS_DEVICE_CAP_POINTER, EIS_DEVICE_CAP_BUTTON, EIS_DEVICE_CAP_SCROLL,
                           EIS_DEVICE_CAP_KEYBOARD});
            if (m_offer == Offer::devicePerCapability)
                for (auto capability : {EIS_DEVICE_CAP_KEYBOARD, EIS_DEVICE_CAP_SCROLL,
                                        EIS_DEVICE_CAP_BUTTON, EIS_DEVICE_CAP_POINTER})
                    addDevice(eis_event_get_seat(event), {capability});
            break;
        case EIS_EVENT_POINTER_MOTION:
            return add(eis_event_pointer_get_dx(event), eis_event_pointer_get_dy(event));
        case EIS_EVENT_BUTTON_BUTTON:
            return add(eis_event_button_get_button(event), eis_event_button_get_is_press(event));
        case EIS_EVENT_SCROLL_DISCRETE:
            return add(eis_event_scroll_get_discrete_dx(event),
                       eis_event_scroll_get_discrete_dy(event));
        case EIS_EVENT_KEYBOARD_KEY:
            return add(eis_event_keyboard_get_key(event),
                       eis_event_keyboard_get_key_is_press(event));
        default:
            break;
        }
    }

    Offer m_offer;
    ::eis* m_eis = eis_new(nullptr);
    eis_client* m_client = nullptr;
    int m_clientFd = -1;
};

// Waits for what the server sent the client and takes it in: false once the server has gone.
bool takeIn(EiClient& client) {
    pollfd connection{client.fd(), POLLIN, 0};
    if (::poll(&connection, 1, 5000) != 1)
        ADD_FAILURE() << "the server sent nothing";
    return client.dispatch();
}

TEST(EiClient, EachEventGoesToTheDeviceWithItsCapabilityAndKeysByTheSeatsKeymap) {
    FakeEis server(FakeEis::Offer::devicePerCapability);
    std::string error;
    auto client = server.connect(5s, error);
    ASSERT_TRUE(client) << error;
    ASSERT_EQ(server.devices.size(), 4u);
    eis_device *keyboard = server.devices[0], *scroll = server.devices[1],
               *buttons = server.devices[2], *pointer = server.devices[3];
    client->motion(3, -2);
    client->button(BTN_LEFT, true);
    client->wheel(1, -2);
    EXPECT_TRUE(client->key(XKB_KEY_a, true));
    EXPECT_TRUE(client->key(XKB_KEY_A, true));
    EXPECT_FALSE(client->key(XKB_KEY_eacute, true)); // not on a US keymap
    client->flush();
    const int key = EIS_EVENT_KEYBOARD_KEY;
    const std::vector<Seen> expected{{EIS_EVENT_POINTER_MOTION, 3, -2, pointer},
                                     {EIS_EVENT_BUTTON_BUTTON, BTN_LEFT, 1, buttons},
                                     {EIS_EVENT_SCROLL_DISCRETE, -240, 120, scroll},
                                     {key, KEY_A, 1, keyboard},
                                     {key, KEY_LEFTSHIFT, 1, keyboard},
                                     {key, KEY_A, 1, keyboard}};
    EXPECT_TRUE(server.pumpUntil([&] { return server.seen.size() >= expected.size(); }));
    EXPECT_EQ(server.seen, expected);
    EXPECT_TRUE(client->keymap());
}

TEST(EiClient, ARemovedDeviceCarriesNothingAndOnlyItselfIsLetGo) {
    FakeEis server(FakeEis::Offer::devicePerCapability);
    std::string error;
    auto client = server.connect(5s, error);
    ASSERT_TRUE(client) << error;
    eis_device_remove(server.devices[0]); // the keyboard
    ASSERT_TRUE(takeIn(*client));
    EXPECT_FALSE(client->key(XKB_KEY_a, true));
    client->motion(4, 4);
    client->flush();
    EXPECT_TRUE(server.pumpUntil([&] { return server.motions() == 1; }));
    EXPECT_EQ(server.seen.size(), 1u);
}

TEST(EiClient, BindsAnotherSeatOnlyOnceItsOwnIsGoneAndStopsWhenTheServerGoes) {
    FakeEis server(FakeEis::Offer::oneDevice);
    std::string error;
    auto client = server.connect(5s, error);
    ASSERT_TRUE(client) << error;
    eis_seat* own = server.seats[0];
    eis_seat_remove(server.addSeat()); // another seat comes and goes: ours stays bound
    ASSERT_TRUE(takeIn(*client));
    server.addSeat();
    ASSERT_TRUE(takeIn(*client));
    eis_seat_remove(own);
    ASSERT_TRUE(takeIn(*client));
    eis_seat* next = server.addSeat();
    ASSERT_TRUE(takeIn(*client));
    EXPECT_TRUE(server.pumpUntil([&] { return server.boundSeats.size() >= 2; }));
    EXPECT_EQ(server.boundSeats, (std::vector<eis_seat*>{own, next}));

    server.disconnect();
    bool open = true;
    for (int reads = 0; open && reads < 10; ++reads)
        open = takeIn(*client);
    EXPECT_FALSE(open);
}

TEST(EiClient, ConnectSaysWhyWhenTheServerRefusesOrOffersNoDevices) {
    std::string error;
    FakeEis refusing(FakeEis::Offer::refusal);
    EXPECT_FALSE(refusing.connect(5s, error));
    EXPECT_EQ(error, "the compositor refused the EIS connection");
    FakeEis deviceless(FakeEis::Offer::noDevice);
    EXPECT_FALSE(deviceless.connect(300ms, error));
    EXPECT_EQ(error, "the compositor made no pointer and keyboard for us in time");
    EXPECT_FALSE(EiClient::connect(-1, 1s, error));
    EXPECT_EQ(error, "libei could not be set up");
}

} // namespace
} // namespace pointrelay::input
