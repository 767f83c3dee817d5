// Helpers shared by the test suites.
#include "test_support.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "image/texture_io.h"

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kiv-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
    path = buffer.data();
}

TempDir::~TempDir() {
    std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

CommandResult runKiv(const std::string& directory, const std::vector<std::string>& arguments,
                     int timeoutSeconds) {
    CommandResult result;
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        dup2(pipeEnds[1], 1);
        dup2(pipeEnds[1], 2);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        if (chdir(directory.c_str()) != 0) _exit(126);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(KIV_EXECUTABLE));
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(KIV_EXECUTABLE, argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    // Read in a helper thread so a chatty child never blocks on a full pipe.
    std::thread reader([&] {
        char buffer[4096];
        ssize_t n;
        while ((n = read(pipeEnds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, n);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reader.join();
    close(pipeEnds[0]);
    if (!result.timedOut) {
        if (WIFSIGNALED(status)) result.signalled = true;
        else result.exitStatus = WEXITSTATUS(status);
    }
    return result;
}

void writeTextFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string readTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool fileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::vector<std::string> listFiles(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

FloatImage imageFromBytes(int width, int height, const std::vector<unsigned char>& rgb) {
    FloatImage image;
    allocateImage(image, width, height);
    for (int i = 0; i < width * height; ++i) {
        image.texels[i] = Texel{rgb[3 * i] / 255.0f, rgb[3 * i + 1] / 255.0f, rgb[3 * i + 2] / 255.0f, 1.0f};
    }
    return image;
}

void writeImageFile(const std::string& path, const FloatImage& image) {
    std::string error;
    if (!saveLevelPng(path.c_str(), 24, image, error)) throw std::runtime_error(error);
}

DecodedImage readImageFile(const std::string& path) {
    DecodedImage decoded;
    FloatImage image;
    std::string error;
    if (!loadTexture(path.c_str(), image, error)) return decoded;
    decoded.width = image.width;
    decoded.height = image.height;
    for (int i = 0; i < image.count; ++i) {
        // Bytes were divided by 255 on loading; multiplying back and rounding recovers them exactly.
        decoded.rgb.push_back(static_cast<unsigned char>(image.texels[i].r * 255.0f + 0.5f));
        decoded.rgb.push_back(static_cast<unsigned char>(image.texels[i].g * 255.0f + 0.5f));
        decoded.rgb.push_back(static_cast<unsigned char>(image.texels[i].b * 255.0f + 0.5f));
    }
    return decoded;
}

std::string unitSquareObj() {
    return "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
           "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
           "f 1/1 2/2 3/3\nf 1/1 3/3 4/4\n";
}
