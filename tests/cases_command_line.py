"""Black-box cases: the command line, the rename's checks and messages, and the
code pages."""


from harness import BANNER, LENGTH_ERROR, FORBIDDEN_ERROR, TCPIP, COMPUTER, ACTIVE, VALUES, REG_EXPAND_SZ, renamed, Case


class CommandLine(Case):
    def test_wrong_argument_counts_show_usage(self):
        before = self.b.snapshot()
        for args in ([], ["NEW", "EXTRA"], ["NEW", "EXTRA", "MORE"]):
            self.expect(self.run_tool(*[a.encode() for a in args]), 0, BANNER + self.b.usage())
        self.assertEqual(self.b.snapshot(), before)

    def test_length_bounds(self):
        before = self.b.snapshot()
        self.expect(self.run_tool(b""), 1, BANNER, LENGTH_ERROR)
        self.expect(self.run_tool(b"A" * 16), 1, BANNER, LENGTH_ERROR)
        self.assertEqual(self.b.snapshot(), before)
        self.expect(self.run_tool(b"B" * 15), 0, BANNER + renamed(b"GALILEO", b"B" * 15))
        self.expect_values(b"B" * 15)


    def test_characters_windows_refuses_in_every_name(self):
        # Nothing opened, nothing written: a help request typed at the board's prompt is no name either.
        before = self.b.snapshot()
        for name in (b"/?", b"lab/01", b"lab*01?", b"a\\b", b'a"b', b"a:b", b"a<b>", b"a|b", b"a\tb",
                     b"a\nb", b"a\x7fb", b"a\x01b"):
            self.expect(self.run_tool(name), 1, BANNER, FORBIDDEN_ERROR)
        self.assertEqual(self.b.snapshot(), before)

    def test_spaces_and_punctuation_pass_unchanged(self):
        self.expect(self.run_tool(b" my board.1!"), 0, BANNER + renamed(b"GALILEO", b" my board.1!"))
        self.expect_values(b" my board.1!")

    def test_banner_comes_first_on_a_shared_stream(self):
        got = self.run_tool(b"", merged=True)
        self.assertEqual((got[0], got[1]), (1, self.b.text(BANNER + LENGTH_ERROR)))


class Rename(Case):
    def test_full_rename_keeps_the_new_names_case(self):
        self.expect(self.run_tool(b"NewBoard"), 0, BANNER + renamed(b"GALILEO", b"NewBoard"))
        self.expect_values(b"NewBoard")
        # The same name again is written and reported like any other.
        self.expect(self.run_tool(b"NewBoard"), 0, BANNER + renamed(b"NewBoard", b"NewBoard"))

    def test_case_only_differences_agree(self):
        self.seed(b"GaLiLeO", b"GALILEO", b"galileo", b"Galileo")
        self.expect(self.run_tool(b"x"), 0, BANNER + renamed(b"GaLiLeO", b"x"))
        self.expect_values(b"x")

    def test_one_differing_value_changes_nothing(self):
        for tag in range(1, 4):
            names = [b"GALILEO"] * 4
            names[tag] = b"GALILE0"
            self.seed(*names)
            before = self.b.snapshot()
            self.expect(
                self.run_tool(b"NEW"),
                1,
                BANNER,
                b"Name Mismatch : H1 = %s, H2 = %s, C1 = %s, C2 = %s\n" % tuple(names),
            )
            self.assertEqual(self.b.snapshot(), before)

    def test_missing_keys(self):
        for missing, message in (
            (TCPIP, b"Host Name : Registry Open Error.\n"),
            (COMPUTER, b"Computer Name : Registry Open Error.\n"),
            (ACTIVE, b"Computer Name : Registry Open Error.\n"),
        ):
            if missing == ACTIVE and self.b.name == "hive":
                continue  # a hive lacks it by nature: see HiveOffline
            self.b.reset([k for k in (TCPIP, COMPUTER, ACTIVE) if k != missing])
            for key, value in VALUES:
                if key != missing:
                    self.b.put(key, value, b"GALILEO\0")
            before = self.b.snapshot()
            self.expect(self.run_tool(b"NEW"), 1, BANNER, message)
            self.assertEqual(self.b.snapshot(), before)

    def test_missing_value(self):
        self.b.reset()
        for key, value in VALUES[:2] + VALUES[3:]:
            self.b.put(key, value, b"GALILEO\0")
        before = self.b.snapshot()
        self.expect(self.run_tool(b"NEW"), 1, BANNER, b"Computer Name 1 : Registry Query Error.\n")
        self.assertEqual(self.b.snapshot(), before)

    def test_expandable_string_is_refused(self):
        self.b.put(TCPIP, "NV Hostname", b"GALILEO\0", REG_EXPAND_SZ)
        before = self.b.snapshot()
        self.expect(self.run_tool(b"NEW"), 1, BANNER, b"Host Name 2 : Type Mismatch Error.\n")
        self.assertEqual(self.b.snapshot(), before)

    def test_value_sizes_around_the_buffer(self):
        long199 = b"L" * 198
        self.seed(long199)
        self.expect(self.run_tool(b"N1"), 0, BANNER + renamed(long199, b"N1"))

        long200 = b"M" * 199
        self.seed(long200)
        warnings = b"".join(b"%s : Unsupported Length.\n" % label
                            for label in (b"Host Name 1", b"Host Name 2", b"Computer Name 1", b"Computer Name 2"))
        self.expect(self.run_tool(b"N2"), 0, BANNER + renamed(long200, b"N2"), warnings)
        self.expect_values(b"N2")
        # On one pipe the messages arrive in the order they were written.
        self.seed(long200)
        got = self.run_tool(b"N3", merged=True)
        self.assertEqual((got[0], got[1]), (0, self.b.text(BANNER + warnings + renamed(long200, b"N3"))))

        self.seed(b"N" * 200)
        before = self.b.snapshot()
        self.expect(self.run_tool(b"N4"), 1, BANNER, b"Host Name 1 : Registry Query Error.\n")
        self.assertEqual(self.b.snapshot(), before)


class CodePage932(Case):
    """Shift-JIS: fullwidth letters fold by the code page's case mapping."""

    def setUp(self):
        super().setUp()
        self.b.select("sjis")
        self.b.reset()

    def arg(self, text):
        return self.b.encode_arg(text, "sjis")

    def test_eight_double_byte_characters_are_sixteen_bytes(self):
        self.seed(b"GALILEO")
        before = self.b.snapshot()
        self.expect(self.run_tool(self.arg("\uff21" * 8)), 1, BANNER, LENGTH_ERROR)
        self.assertEqual(self.b.snapshot(), before)

    def test_fullwidth_names_differing_in_case_agree(self):
        upper, lower = "\uff27\uff41\uff2c\uff29".encode("cp932"), "\uff47\uff41\uff4c\uff49".encode("cp932")
        self.seed(upper, lower, lower, upper)
        new = "\uff2e\uff45\uff57".encode("cp932")
        self.expect(self.run_tool(self.arg("\uff2e\uff45\uff57")), 0, BANNER + renamed(upper, new))
        self.expect_values(new)
        # A trail byte that is a backslash or a bar (\u30bd, \u8868) is no forbidden character.
        trails = "\u30bd\u8868".encode("cp932")
        self.expect(self.run_tool(self.arg("\u30bd\u8868")), 0, BANNER + renamed(new, trails))

    def test_one_differing_double_byte_character_is_a_mismatch(self):
        names = ["\uff27\uff21\uff2c".encode("cp932")] * 4
        names[2] = "\uff27\uff21\uff2d".encode("cp932")
        self.seed(*names)
        before = self.b.snapshot()
        self.expect(self.run_tool(b"NEW"), 1, BANNER,
                    b"Name Mismatch : H1 = %s, H2 = %s, C1 = %s, C2 = %s\n" % tuple(names))
        self.assertEqual(self.b.snapshot(), before)


class CodePage936(Case):
    """GBK: fullwidth letters fold; a letter whose capital the code page lacks
    matches nothing. On the board, WideCharToMultiByte would hand back a
    best-fit look-alike for that capital; the comparison must refuse it."""

    def setUp(self):
        super().setUp()
        self.b.select("gbk")
        self.b.reset()

    def test_fullwidth_names_differing_in_case_agree(self):
        upper, lower = "\uff27\uff21\uff2c".encode("gbk"), "\uff47\uff41\uff4c".encode("gbk")
        self.seed(lower, upper, upper, lower)
        new = "\uff2e\uff45\uff57"
        self.expect(self.run_tool(self.b.encode_arg(new, "gbk")), 0, BANNER + renamed(lower, new.encode("gbk")))
        self.expect_values(new.encode("gbk"))

    def test_a_letter_without_its_capital_matches_nothing(self):
        names = ["g\u0101l".encode("gbk")] * 4
        self.seed(*names)
        before = self.b.snapshot()
        self.expect(self.run_tool(b"NEW"), 1, BANNER,
                    b"Name Mismatch : H1 = %s, H2 = %s, C1 = %s, C2 = %s\n" % tuple(names))
        self.assertEqual(self.b.snapshot(), before)

