# Homebrew formula: builds process-tap and its manual page from a source archive of a release.
# Homebrew installs formulae only from a tap; the macOS workflow shows how to install this one
# from a local tap, with `url` and `sha256` pointing at an archive of the checkout. On a release,
# set both to the release's archive.
class ProcessTap < Formula
  desc "Record what running applications play, through Core Audio process taps"
  homepage "https://github.com/brindlex/process-tap"
  url "https://github.com/brindlex/process-tap/archive/refs/tags/v0.1.0.tar.gz"
  sha256 "0000000000000000000000000000000000000000000000000000000000000000"

  depends_on "cmake" => :build
  depends_on arch: :arm64
  depends_on "icu4c"
  depends_on :macos

  def install
    # libsndfile, googletest and nlohmann-json serve only the tests' simulated platform.
    system "cmake", "-S", ".", "-B", "build", "-DPT_BUILD_TESTS=OFF", "-DPT_BUILD_SIM=OFF",
           "-DICU_ROOT=#{Formula["icu4c"].opt_prefix}", *std_cmake_args
    system "cmake", "--build", "build"
    system "cmake", "--install", "build"
  end

  test do
    # Lists the audio clients: needs no permission and records nothing.
    system bin/"process-tap", testpath/"x.caf", "1", "--list"
  end
end
