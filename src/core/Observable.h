#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace orvanta::core {

// Keeps an observation alive; destroying it (or calling reset) ends the observation.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            reset();
            cancel_ = std::exchange(other.cancel_, nullptr);
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { reset(); }
    void reset() {
        if (cancel_) std::exchange(cancel_, nullptr)();
    }
    explicit operator bool() const { return static_cast<bool>(cancel_); }

private:
    std::function<void()> cancel_;
};

// A list of listeners. Emitting calls a snapshot of them, so a listener may unsubscribe itself.
template <typename... Args>
class Signal {
public:
    using Slot = std::function<void(Args...)>;

    Signal() : shared_(std::make_shared<Shared>()) {}
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    [[nodiscard]] Subscription connect(Slot slot) {
        std::lock_guard lock(shared_->mutex);
        uint64_t id = ++shared_->nextId;
        shared_->slots.emplace(id, std::make_shared<Slot>(std::move(slot)));
        std::weak_ptr<Shared> weak = shared_;
        return Subscription([weak, id] {
            if (auto s = weak.lock()) {
                std::lock_guard lock(s->mutex);
                s->slots.erase(id);
            }
        });
    }

    void emit(Args... args) const {
        std::vector<std::pair<uint64_t, std::shared_ptr<Slot>>> snapshot;
        {
            std::lock_guard lock(shared_->mutex);
            snapshot.assign(shared_->slots.begin(), shared_->slots.end());
        }
        for (auto& [id, slot] : snapshot) {
            bool live;
            {
                std::lock_guard lock(shared_->mutex);
                live = shared_->slots.count(id) != 0;
            }
            if (live) (*slot)(args...);
        }
    }

    size_t listenerCount() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->slots.size();
    }

private:
    struct Shared {
        std::mutex mutex;
        uint64_t nextId = 0;
        std::map<uint64_t, std::shared_ptr<Slot>> slots;
    };
    std::shared_ptr<Shared> shared_;
};

// An object whose named properties can be observed. A derived property is re-announced whenever
// one of the keys it depends on changes (see dependentKeys).
class Observable {
public:
    using KeyCallback = std::function<void(const std::string& key)>;
    // base key -> derived keys that must be re-announced when it changes
    using DependencyTable = std::map<std::string, std::vector<std::string>>;

    Observable() = default;
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;
    virtual ~Observable() = default;

    // Called with the key after each change of it (or of a key it depends on).
    [[nodiscard]] Subscription observe(const std::string& key, KeyCallback callback) {
        auto& signal = signalFor(key);
        return signal.connect(std::move(callback));
    }

    // Announces a change of key and of every property derived from it.
    void didChangeValueForKey(const std::string& key) {
        std::set<std::string> announced;
        announce(key, announced);
    }

    // The keys whose change also announces `key`.
    std::vector<std::string> keyPathsForValuesAffectingKey(const std::string& key) const {
        std::vector<std::string> result;
        for (const auto& [base, derived] : dependentKeys())
            for (const auto& d : derived)
                if (d == key) result.push_back(base);
        return result;
    }

protected:
    virtual const DependencyTable& dependentKeys() const {
        static const DependencyTable none;
        return none;
    }

private:
    Signal<const std::string&>& signalFor(const std::string& key) {
        std::lock_guard lock(mutex_);
        auto& slot = signals_[key];
        if (!slot) slot = std::make_unique<Signal<const std::string&>>();
        return *slot;
    }
    void announce(const std::string& key, std::set<std::string>& announced) {
        if (!announced.insert(key).second) return;
        Signal<const std::string&>* signal = nullptr;
        {
            std::lock_guard lock(mutex_);
            auto it = signals_.find(key);
            if (it != signals_.end()) signal = it->second.get();
        }
        if (signal) signal->emit(key);
        const auto& table = dependentKeys();
        auto it = table.find(key);
        if (it != table.end())
            for (const auto& derived : it->second) announce(derived, announced);
    }

    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<Signal<const std::string&>>> signals_;
};

// A single observable value, for state shared between controllers (for example "logged in").
template <typename T>
class Property {
public:
    explicit Property(T initial = T{}) : value_(std::move(initial)) {}
    T get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    // Announces only real changes.
    void set(T value) {
        {
            std::lock_guard lock(mutex_);
            if (value_ == value) return;
            value_ = value;
        }
        changed_.emit(value);
    }
    [[nodiscard]] Subscription observe(std::function<void(const T&)> callback) {
        return changed_.connect(std::move(callback));
    }

private:
    mutable std::mutex mutex_;
    T value_;
    Signal<const T&> changed_;
};

}  // namespace orvanta::core
