! Writes golden.txt: how gfortran writes and reads each edit descriptor that
! kova imitates. One case a line; values are given as the 16 hex digits of
! their IEEE bits, so that nothing is lost on the way; the field gfortran
! produced (or read) is between the last pair of brackets.
!
!   I w value [out]                 Iw
!   F w d bits [out]                Fw.d
!   E w d e bits [out]              Ew.d (e = 0) or Ew.dEe
!   D w d bits [out]                Dw.d
!   G w d e bits [out]              Gw.d (e = 0) or Gw.dEe
!   A w texthex [out]               Aw (texthex "-" for an empty text)
!   X n [out]                       nX between two A items
!   L items [out]                   WRITE(*,*) of the items: i4:n, i8:n, r8:bits,
!                                   l:T|F, c:texthex, joined by commas
!   RD w fieldhex iostat bits [field]   READ with (Dw.0)
!   RI w fieldhex iostat value [field]  READ with (Iw)
program golden
  implicit none
  integer, parameter :: dp = kind(1d0), i8 = selected_int_kind(18)
  integer, parameter :: out = 10, tmp = 20
  double precision :: x, inf, nan, b, z
  double precision :: specials(40), ties(24)
  integer :: i, j, k, n, wd(2, 12), gw(8), gd(8)
  real :: u(3)

  open(out, file='golden.txt', status='replace', action='write')
  z = 0d0
  inf = huge(z); inf = inf * 2
  nan = inf - inf
  wd = reshape([1, 0, 2, 0, 3, 0, 2, 1, 3, 1, 4, 2, 5, 2, 4, 3, 5, 3, 6, 3, 10, 3, 25, 10], [2, 12])
  gw = [13, 10, 12, 15, 9, 8, 25, 20]
  gd = [5, 3, 4, 7, 2, 1, 17, 12]
  call random_seed(size=n)
  call seed(n)

  ! ---- Iw
  block
    integer :: vals(13), ws(7)
    vals = [0, 1, -1, 7, 42, -42, 12345, -12345, 99999, 100000, -99999, 2147483647, -2147483647 - 1]
    ws = [1, 2, 3, 5, 6, 11, 12]
    do i = 1, size(vals)
      do j = 1, size(ws)
        call put_i(vals(i), ws(j))
      end do
    end do
  end block

  ! ---- Fw.d on chosen values
  specials = [0d0, -z, 0.5d0, -0.5d0, 0.125d0, 0.375d0, 2.5d0, 3.5d0, 0.4d0, -0.4d0, &
              1d0, -1d0, 0.001d0, -0.001d0, 0.0005d0, 0.0015d0, 999.94d0, 999.95d0, 999.96d0, -99.96d0, &
              1d10, -1d10, 123.456d0, -123.456d0, 0.1d0, 0.2d0, 0.3d0, 1.005d0, 2.675d0, 1d-5, &
              9.9999d0, 99.999d0, 0.99999d0, 1d15, 1d16, 1d22, 1d300, -1d300, tiny(z), huge(z)]
  do i = 1, size(specials)
    do k = 1, 12
      call put_r('F', wd(1, k), wd(2, k), 0, specials(i))
    end do
  end do
  ties = [0.125d0, 0.375d0, 0.625d0, 0.875d0, 2.5d0, 3.5d0, 0.5d0, 1.5d0, -2.5d0, -0.125d0, &
          0.0625d0, 0.1875d0, 1.25d0, 1.75d0, 1024.5d0, 1025.5d0, 0.03125d0, 4.5d0, 5.5d0, 6.5d0, &
          7.5d0, 8.5d0, 9.5d0, 10.5d0]
  do i = 1, size(ties)
    do k = 0, 4
      call put_r('F', 10, k, 0, ties(i))
    end do
    call put_r('E', 13, 1, 0, ties(i))
    call put_r('E', 13, 2, 0, ties(i))
    call put_r('G', 13, 1, 0, ties(i))
    call put_r('G', 13, 2, 0, ties(i))
  end do
  ! decimal fractions that sit near a tie once stored in binary
  do i = 1, 300
    call random_number(u)
    x = real(int(u(1) * 1d6), dp) / 10d0**(1 + int(u(2) * 5))
    if (u(3) < 0.3) x = -x
    call put_r('F', 10, 3, 0, x)
    call put_r('F', 8, 2, 0, x)
    call put_r('G', 13, 5, 0, x)
  end do
  ! random magnitudes
  do i = 1, 600
    x = rnd(-12, 12)
    call put_r('F', 10, 3, 0, x)
    call put_r('E', 13, 5, 0, x)
    call put_r('G', 13, 5, 0, x)
  end do
  do i = 1, 300
    x = rnd(-14, 16)
    call put_r('F', 25, 10, 0, x)
    call put_r('G', 10, 3, 0, x)
    call put_r('G', 15, 7, 0, x)
    call put_r('G', 13, 5, 3, x)
  end do
  do i = 1, 300
    x = rnd(-320, 308)
    call put_r('E', 13, 5, 0, x)
    call put_r('D', 13, 5, 0, x)
    call put_r('G', 13, 5, 0, x)
    call put_r('E', 12, 4, 3, x)
  end do

  ! ---- Ew.d, Dw.d, Ew.dEe on chosen values
  do i = 1, size(specials)
    call put_r('E', 13, 5, 0, specials(i))
    call put_r('E', 11, 5, 0, specials(i))
    call put_r('E', 10, 5, 0, specials(i))
    call put_r('E', 9, 5, 0, specials(i))
    call put_r('E', 12, 5, 0, specials(i))
    call put_r('E', 8, 1, 0, specials(i))
    call put_r('E', 25, 17, 0, specials(i))
    call put_r('D', 13, 5, 0, specials(i))
    call put_r('D', 11, 5, 0, specials(i))
    call put_r('E', 13, 5, 1, specials(i))
    call put_r('E', 13, 5, 2, specials(i))
    call put_r('E', 14, 5, 3, specials(i))
    call put_r('E', 15, 5, 4, specials(i))
  end do
  call put_r('E', 13, 5, 0, 9.999995d0)
  call put_r('E', 13, 5, 0, 9.999995d99)
  call put_r('E', 13, 5, 0, 9.999995d-100)
  call put_r('E', 13, 5, 0, 9.9999949d-100)
  call put_r('E', 13, 5, 0, transfer(1_i8, z))
  call put_r('E', 13, 5, 0, -transfer(1_i8, z))
  call put_r('D', 13, 5, 0, transfer(1_i8, z))

  ! ---- Gw.d: zero, signs, extremes, and every boundary of the fixed range
  do i = 1, size(specials)
    call put_r('G', 13, 5, 0, specials(i))
    call put_r('G', 10, 3, 0, specials(i))
    call put_r('G', 12, 4, 0, specials(i))
    call put_r('G', 15, 7, 0, specials(i))
    call put_r('G', 9, 2, 0, specials(i))
    call put_r('G', 8, 1, 0, specials(i))
    call put_r('G', 6, 2, 0, specials(i))
    call put_r('G', 25, 17, 0, specials(i))
    call put_r('G', 13, 5, 3, specials(i))
    call put_r('G', 12, 5, 1, specials(i))
  end do
  call put_r('G', 13, 5, 0, transfer(1_i8, z))
  do k = 1, 8
    call boundaries(gw(k), gd(k))
  end do

  ! ---- Infinity and NaN in every descriptor and width
  do k = 1, 12
    call put_r('F', k, min(k - 1, 1), 0, inf)
    call put_r('F', k, min(k - 1, 1), 0, -inf)
    call put_r('F', k, min(k - 1, 1), 0, nan)
    if (k >= 2) then
      call put_r('E', k, 1, 0, inf)
      call put_r('E', k, 1, 0, -inf)
      call put_r('E', k, 1, 0, nan)
      call put_r('G', k, 1, 0, -inf)
    end if
  end do
  call put_r('G', 13, 5, 0, inf)
  call put_r('G', 13, 5, 0, -inf)
  call put_r('G', 13, 5, 0, nan)
  call put_r('D', 13, 5, 0, -inf)

  ! ---- Aw and nX
  call put_a('ABC', 5)
  call put_a('ABC', 3)
  call put_a('ABC', 2)
  call put_a('ABC', 1)
  call put_a(' A B ', 7)
  call put_a('', 3)
  call put_x(1)
  call put_x(4)

  ! ---- list-directed output
  open(tmp, file='list.tmp', status='replace'); write(tmp, *) 'A', 'B'
  call put_list('c:' // th('A') // ',c:' // th('B'))
  open(tmp, file='list.tmp', status='replace'); write(tmp, *) 'INFO =', 3
  call put_list('c:' // th('INFO =') // ',i4:3')
  open(tmp, file='list.tmp', status='replace'); write(tmp, *) 3, 'A', 4
  call put_list('i4:3,c:' // th('A') // ',i4:4')
  open(tmp, file='list.tmp', status='replace'); write(tmp, *) 2.5d0, 3
  call put_list('r8:' // hx(2.5d0) // ',i4:3')
  open(tmp, file='list.tmp', status='replace'); write(tmp, *) 'a', 2.5d0, 'b'
  call put_list('c:' // th('a') // ',r8:' // hx(2.5d0) // ',c:' // th('b'))
  open(tmp, file='list.tmp', status='replace'); write(tmp, *) .true., .false., 'x', .true., 3
  call put_list('l:T,l:F,c:' // th('x') // ',l:T,i4:3')
  open(tmp, file='list.tmp', status='replace'); write(tmp, *) 3_i8, -3_i8, huge(1_i8), -huge(1_i8) - 1_i8
  call put_list('i8:3,i8:-3,i8:9223372036854775807,i8:-9223372036854775808')
  open(tmp, file='list.tmp', status='replace'); write(tmp, *) huge(1), -huge(1) - 1, 0
  call put_list('i4:2147483647,i4:-2147483648,i4:0')
  open(tmp, file='list.tmp', status='replace'); write(tmp, *) ''
  call put_list('c:-')
  open(tmp, file='list.tmp', status='replace'); write(tmp, *) 'a', '', 'b  '
  call put_list('c:' // th('a') // ',c:-,c:' // th('b  '))
  open(tmp, file='list.tmp', status='replace'); write(tmp, *) 'x', 1_i8, 'y', .false.
  call put_list('c:' // th('x') // ',i8:1,c:' // th('y') // ',l:F')
  open(tmp, file='list.tmp', status='replace'); write(tmp, *) inf, -inf, nan, z, -z
  call put_list('r8:' // hx(inf) // ',r8:' // hx(-inf) // ',r8:' // hx(nan) // ',r8:' // hx(z) // ',r8:' // hx(-z))
  do i = 1, size(specials)
    call put_list_r(specials(i))
    call put_list_r(-specials(i))
  end do
  do k = -3, 18
    b = 10d0**k
    x = b
    do j = 1, 3
      x = nearest(x, -1d0)
    end do
    do j = 1, 6
      call put_list_r(x)
      x = nearest(x, 1d0)
    end do
  end do
  call put_list_r(transfer(1_i8, z))
  call put_list_r(0.09999999999999999d0)
  call put_list_r(99999999999999999d0)
  call put_list_r(99999999999999984d0)
  do i = 1, 300
    call put_list_r(rnd(-20, 20))
  end do
  do i = 1, 100
    call put_list_r(rnd(-320, 308))
  end do
  open(tmp, file='list.tmp', status='old')
  close(tmp, status='delete')

  ! ---- input: (Dw.0) and (Iw)
  block
    character(len=12) :: fields(60)
    fields = [character(len=12) :: '1 2', '+', '-', '.', '+.', '-.', 'E5', 'e5', '1E', '1.5E+', '1.2.3', &
      '--1', '+-1', 'Infinity', 'NaN', 'inf', '-Inf', '1.5+3', '1.5-3', ' 1.5 e 2', '1.5d2', '1.5D-2', &
      '1.5q2', '1.5Q2', '', '-.5', '.5', '5.', '.5E', '1e+', '1+', '1.5E2.0', '1,5', '0x10', '1.5E 3', &
      '1.5 E+ 3', 'e', '1.e1', 'x', '12a', '1d-400', '1d400', '+ 1', '1 -3', '- 1.5', '1E1 2', &
      '1.5E+-3', '12345678901', '-2147483648', '2147483647', '2147483648', '-2147483649', '007', &
      '0.1', '3.1415926535', '4.9e-324', '2.22507e-308', '1.797693e308', '1.7977e308', '-0']
    do i = 1, size(fields)
      call put_rd(trim(fields(i)), 12)
      call put_ri(trim(fields(i)), 12)
    end do
    call put_rd('1.5' // char(9) // '2', 8)
    call put_rd('12345', 3)
    call put_rd('1.5E3', 4)
    call put_ri('12345', 3)
  end block
  do i = 1, 200
    x = rnd(-30, 30)
    block
      character(len=25) :: f
      write(f, '(ES25.17)') x
      call put_rd(f, 25)
      write(f, '(F25.9)') x
      if (abs(x) < 1d12) call put_rd(f, 25)
      write(f, '(D25.16)') x
      call put_rd(f, 25)
    end block
  end do
  close(out)

contains

  subroutine seed(n)
    integer, intent(in) :: n
    integer :: s(n), q
    do q = 1, n
      s(q) = 20231 + 7 * q
    end do
    call random_seed(put=s)
  end subroutine

  ! A random double of either sign with a random decimal exponent in [lo, hi].
  double precision function rnd(lo, hi)
    integer, intent(in) :: lo, hi
    real(dp) :: r(3)
    call random_number(r)
    rnd = (1d0 + 9d0 * r(1)) * 10d0**(lo + int(r(2) * (hi - lo + 1)))
    if (r(3) < 0.4d0) rnd = -rnd
  end function

  function hx(v) result(s)
    double precision, intent(in) :: v
    character(len=16) :: s
    write(s, '(Z16.16)') transfer(v, 1_i8)
  end function

  function itoa(v) result(s)
    integer, intent(in) :: v
    character(len=:), allocatable :: s
    character(len=20) :: t
    write(t, '(I0)') v
    s = trim(t)
  end function

  function th(t) result(s)
    character(len=*), intent(in) :: t
    character(len=:), allocatable :: s
    integer :: q
    character(len=2) :: h
    s = ''
    do q = 1, len(t)
      write(h, '(Z2.2)') ichar(t(q:q))
      s = s // h
    end do
    if (len(t) == 0) s = '-'
  end function

  subroutine put_i(v, w)
    integer, intent(in) :: v, w
    character(len=40) :: buf
    write(buf, '(I' // itoa(w) // ')') v
    if (w == 0) then
      write(out, '(A)') 'I 0 ' // itoa(v) // ' [' // trim(buf) // ']'
    else
      write(out, '(A)') 'I ' // itoa(w) // ' ' // itoa(v) // ' [' // buf(1:w) // ']'
    end if
  end subroutine

  subroutine put_r(c, w, d, e, v)
    character, intent(in) :: c
    integer, intent(in) :: w, d, e
    double precision, intent(in) :: v
    character(len=60) :: buf
    character(len=:), allocatable :: f, head
    f = '(' // c // itoa(w) // '.' // itoa(d)
    if (e > 0) f = f // 'E' // itoa(e)
    f = f // ')'
    write(buf, f) v
    head = c // ' ' // itoa(w) // ' ' // itoa(d)
    if (c == 'E' .or. c == 'G') head = head // ' ' // itoa(e)
    write(out, '(A)') head // ' ' // hx(v) // ' [' // buf(1:w) // ']'
  end subroutine

  ! Every G boundary 10**k - 0.5*10**(k-d), k = -1 .. d, with its neighbours,
  ! plus the powers of ten themselves and values just past them.
  subroutine boundaries(w, d)
    integer, intent(in) :: w, d
    integer :: kk, jj
    double precision :: edge, v
    do kk = -2, d + 1
      edge = 10d0**kk - 0.5d0 * 10d0**(kk - d)
      if (kk == -2) edge = 10d0**(kk+1) - 0.5d0 * 10d0**(kk - d)
      v = edge
      do jj = 1, 3
        v = nearest(v, -1d0)
      end do
      do jj = 1, 7
        call put_r('G', w, d, 0, v)
        call put_r('G', w, d, 0, -v)
        v = nearest(v, 1d0)
      end do
      v = 10d0**kk
      call put_r('G', w, d, 0, v)
      call put_r('G', w, d, 0, nearest(v, -1d0))
      call put_r('G', w, d, 0, nearest(v, 1d0))
      call put_r('G', w, d, 0, v * (1d0 - 0.4d0 * 10d0**(-d)))
      call put_r('G', w, d, 0, v * (1d0 - 0.6d0 * 10d0**(-d)))
    end do
  end subroutine

  subroutine put_a(t, w)
    character(len=*), intent(in) :: t
    integer, intent(in) :: w
    character(len=40) :: buf
    write(buf, '(A' // itoa(w) // ')') t
    write(out, '(A)') 'A ' // itoa(w) // ' ' // th(t) // ' [' // buf(1:w) // ']'
  end subroutine

  subroutine put_x(n)
    integer, intent(in) :: n
    character(len=40) :: buf
    write(buf, '(A,' // itoa(n) // 'X,A)') '<', '>'
    write(out, '(A)') 'X ' // itoa(n) // ' [' // buf(2:n+1) // ']'
  end subroutine

  ! Reads back the one line just written on unit tmp, trailing blanks and all.
  subroutine put_list(items)
    character(len=*), intent(in) :: items
    character(len=2000) :: line
    integer :: sz, ios
    close(tmp)
    open(tmp, file='list.tmp', status='old')
    line = ''
    read(tmp, '(A)', advance='no', size=sz, iostat=ios) line
    close(tmp)
    write(out, '(A)') 'L ' // items // ' [' // line(1:sz) // ']'
  end subroutine

  subroutine put_list_r(v)
    double precision, intent(in) :: v
    open(tmp, file='list.tmp', status='replace')
    write(tmp, *) v
    call put_list('r8:' // hx(v))
  end subroutine

  subroutine put_rd(field, w)
    character(len=*), intent(in) :: field
    integer, intent(in) :: w
    character(len=40) :: buf
    integer :: ios
    double precision :: v
    buf = field
    v = 0d0
    read(buf(1:w), '(D' // itoa(w) // '.0)', iostat=ios) v
    if (ios /= 0) v = 0d0
    write(out, '(A)') 'RD ' // itoa(w) // ' ' // th(buf(1:w)) // ' ' // itoa(ios) // ' ' // hx(v) &
        // ' [' // buf(1:w) // ']'
  end subroutine

  subroutine put_ri(field, w)
    character(len=*), intent(in) :: field
    integer, intent(in) :: w
    character(len=40) :: buf
    integer :: ios, v
    buf = field
    v = 0
    read(buf(1:w), '(I' // itoa(w) // ')', iostat=ios) v
    if (ios /= 0) v = 0
    write(out, '(A)') 'RI ' // itoa(w) // ' ' // th(buf(1:w)) // ' ' // itoa(ios) // ' ' // itoa(v) &
        // ' [' // buf(1:w) // ']'
  end subroutine

end program golden
