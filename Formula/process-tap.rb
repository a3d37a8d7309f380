# Homebrew formula: builds process-tap and its manual page from a release's source archive.
# scripts/release.sh makes the archive and writes its `url` and `sha256` here. Homebrew installs
# formulae only from a tap; the macOS workflow installs this one from a local tap with an archive
# of the checkout made by the same script.
class ProcessTap < Formula
  desc "Record what running applications play, through Core Audio process taps"
  homepage "https://github.com/brindlex/process-tap"
  url "https://github.com/brindlex/process-tap/releases/download/v0.1.0/process-tap-0.1.0.tar.gz"
  sha256 "0000000000000000000000000000000000000000000000000000000000000000"
  license "MIT"

  depends_on "cmake" => :build
  depends_on arch: :arm64
  depends_on "icu4c@79"
  depends_on macos: :tahoe # the deployment target CMakeLists.txt sets (std::from_chars for double)

  def install
    # libsndfile, googletest and nlohmann-json serve only the tests' simulated platform.
    system "cmake", "-S", ".", "-B", "build", "-DPT_BUILD_TESTS=OFF", "-DPT_BUILD_SIM=OFF",
           "-DICU_ROOT=#{Formula["icu4c@79"].opt_prefix}", *std_cmake_args
    system "cmake", "--build", "build"
    system "cmake", "--install", "build"
  end

  test do
    # Lists the audio clients: needs no permission and records nothing.
    system bin/"process-tap", testpath/"x.caf", "1", "--list"
  end
end
