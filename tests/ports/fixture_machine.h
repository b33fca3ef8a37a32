// A fixture machine's /sys and /dev, built from a .tree description (fixtures/README.md) in a
// temporary folder that is removed with the object.
#ifndef TARVOLO_TESTS_PORTS_FIXTURE_MACHINE_H
#define TARVOLO_TESTS_PORTS_FIXTURE_MACHINE_H

#include <string>

class FixtureMachine {
public:
    // `name` is a file of fixtures/ without ".tree". A malformed line fails the test.
    explicit FixtureMachine(const std::string& name);
    ~FixtureMachine();
    FixtureMachine(const FixtureMachine&) = delete;
    FixtureMachine& operator=(const FixtureMachine&) = delete;

    std::string sys() const { return root_ + "/sys"; }
    std::string dev() const { return root_ + "/dev"; }

private:
    void entry(const std::string& line);
    std::string root_;
    std::string in_ = "/";  // the folder of the last `in`, absolute in the tree
};

#endif
