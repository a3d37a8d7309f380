# Homebrew formula: builds process-tap and its manual page from a release's source archive.
# scripts/release.sh makes the archive from the tag vVERSION and writes its `url` and `sha256`
# here. Homebrew installs formulae only from a tap; the macOS workflow installs this one from a
# local tap with an archive that scripts/release-rehearsal.sh makes of the checkout.
class ProcessTap < Formula
  desc "Record what running applications play, through Core Audio process taps"
  homepage "https://github.com/brindlex/process-tap"
  url "https://github.com/brindlex/process-tap/releases/download/v0.1.0/process-tap-0.1.0.tar.gz"
  sha256 "0000000000000000000000000000000000000000000000000000000000000000"
  license "MIT"
  head "https://github.com/brindlex/process-tap.git", branch: "main"

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
    # The listing needs no permission and records nothing: a line for each audio client.
    shell_output("#{bin}/process-tap #{testpath}/x.caf 1 --list").each_line do |line|
      assert_match(/\Apid=\d+ active=(true|false) name=.* bundle=.*\n\z/, line)
    end
    # A container the platform does not write is a mistake in the command line: the message lists
    # the extensions it writes, and the usage line names the version.
    output = shell_output("#{bin}/process-tap #{testpath}/x.ogg 1 2>&1", 1)
    assert_match "本平台不支持该文件格式；本平台可写的扩展名：.caf、", output
    assert_match(/^用法：process-tap .*；版本：process-tap \d+\.\d+\.\d+$/, output)
    refute_path_exists testpath/"x.ogg"
  end
end
